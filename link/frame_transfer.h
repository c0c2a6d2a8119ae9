#pragma once

#include <array>
#include <cstdint>

class PortBackend;
struct Module1;

// Lines of the data register.
inline constexpr std::uint8_t SelectLine = 0x02; // high between frames
inline constexpr std::uint8_t SdiLine = 0x04;
inline constexpr std::uint8_t ClockLine = 0x08;

inline constexpr int FrameWrites = 100;
inline constexpr int FrameReads = 16;

// Sixteen bits in line order: element 0 is bit 15 of the word.
using FrameBits = std::array<std::int16_t, 16>;

FrameBits wordToFrameBits(std::uint16_t word);
std::uint16_t frameBitsToWord(const FrameBits &bits);

// The read-back sample of one status byte: the inverse of bit 7, which the
// port hardware inverts on the way in from the chip's SDO line.
std::int16_t decodeStatus(std::int16_t status);

// One frame on the port at dataPort/statusPort: select falls, sixteen read
// clocks sample SDO, sixteen write clocks shift the word in MSB first, select
// rises. Exactly FrameWrites data writes and FrameReads status reads. Returns
// the samples in receiving order.
FrameBits transferFrame(PortBackend &port, std::int16_t dataPort, std::int16_t statusPort,
                        std::uint16_t word);

// SDIBits from the SDI boxes: element 15 - k is 1 only if box k reads " 1".
void GetSDIBits(Module1 &module);

// GetSDIBits, one frame of SDIBits on DataPort/StatusPort, samples to SDOBits.
void SendFrame(Module1 &module);
