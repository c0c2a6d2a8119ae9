#pragma once

#include "link/wiring.h"

#include <array>
#include <cstdint>

class ParallelPort;
struct SerialLink;

inline constexpr int FrameWrites = 100;
inline constexpr int FrameReads = 16;

// Sixteen bits in line order: element 0 is bit 15 of the word.
using FrameBits = std::array<std::int16_t, 16>;

FrameBits wordToFrameBits(std::uint16_t word);
std::uint16_t frameBitsToWord(const FrameBits &bits);

// One frame on port: select falls, sixteen read clocks sample SDO, sixteen
// write clocks shift the word in MSB first, select rises. Exactly FrameWrites
// data writes and FrameReads status reads. On hardware, SIGINT, SIGTERM,
// SIGHUP and SIGQUIT wait until the frame has ended, so the chip never
// latches a word half shifted in. Returns the samples in receiving order.
FrameBits transferFrame(ParallelPort &port, std::uint16_t word);

// SDIBits from the SDI boxes: element 15 - k is 1 only if box k reads as 1.
void GetSDIBits(SerialLink &link);

// GetSDIBits, then one frame of SDIBits on the port at DataPort/StatusPort,
// its samples into SDOBits.
void SendFrame(SerialLink &link);
