#pragma once

#include "link/port_backend.h"
#include "link/wiring.h"

#include <array>
#include <cstdint>
#include <span>

inline constexpr int FrameWrites = 100;
inline constexpr int FrameReads = 16;
inline constexpr int FrameLength = FrameWrites + FrameReads;

// One frame as the pins see it, built from the wiring alone: select falls,
// sixteen read clocks each sample SDO while the clock is high, sixteen write
// clocks shift the word in MSB first, with each bit on SDI one write before
// its rising edge and until past its falling edge, then select rises. The
// data register is at idle (select high) before and after.
using Frame = std::array<PinStep, FrameLength>;

// A frame in its two halves, for a port that runs them one after the other
// inside one select window: the read phase (select falls, sixteen read
// clocks), then the write phase (sixteen write clocks, select rises).
inline constexpr int ReadPhaseLength = 2 + 4 * FrameReads;
using ReadPhase = std::array<PinStep, ReadPhaseLength>;
using WritePhase = std::array<PinStep, FrameLength - ReadPhaseLength>;

// The status bytes a frame's reads return, in receiving order.
using FrameStatuses = std::array<std::uint8_t, FrameReads>;

constexpr ReadPhase readPhase() {
    ReadPhase steps{};
    std::size_t n = 0;
    const auto write = [&](int value) { steps[n++] = {PinStep::Kind::Write, std::uint8_t(value)}; };
    write(SelectLine);
    write(0);
    for (int bit = 0; bit < FrameReads; ++bit) {
        write(0);
        write(ClockLine);
        steps[n++] = {PinStep::Kind::Read};
        write(0);
    }
    return steps;
}

constexpr WritePhase writePhase(std::uint16_t word) {
    WritePhase steps{};
    std::size_t n = 0;
    const auto write = [&](int value) { steps[n++] = {PinStep::Kind::Write, std::uint8_t(value)}; };
    for (int bit = 15; bit >= 0; --bit) {
        const int sdi = (word >> bit) & 1 ? SdiLine : 0;
        write(sdi);
        write(sdi | ClockLine);
        write(sdi);
    }
    write(0);
    write(SelectLine);
    return steps;
}

constexpr Frame frameFor(std::uint16_t word) {
    Frame frame{};
    const ReadPhase read = readPhase();
    const WritePhase written = writePhase(word);
    std::size_t n = 0;
    for (const PinStep &step : read)
        frame[n++] = step;
    for (const PinStep &step : written)
        frame[n++] = step;
    return frame;
}

// The word a frame read back: its first sample is bit 15.
constexpr std::uint16_t readBackOf(const FrameStatuses &statuses) {
    std::uint16_t word = 0;
    for (const std::uint8_t status : statuses)
        word = std::uint16_t((word << 1) | decodeStatus(status));
    return word;
}

// Sixteen bits in line order: element 0 is bit 15 of the word.
using FrameBits = std::array<std::int16_t, 16>;

FrameBits wordToFrameBits(std::uint16_t word);
std::uint16_t frameBitsToWord(const FrameBits &bits);

// Runs the frame of word on port in one call and returns the samples in
// receiving order. On hardware, SIGINT, SIGTERM, SIGHUP and SIGQUIT wait
// until the frame has ended, so the chip never latches a word half shifted in.
FrameBits transferFrame(ParallelPort &port, std::uint16_t word);

// A frame the port cannot run without risk to the chip's word; nothing was
// sent. The message names the port and what to use instead.
class SplitFrameRefused : public PortError {
public:
    using PortError::PortError;
};

// The one way to send a word: opens the port at registers through backend,
// runs the word's frame and returns the word read back. Throws PortError.
std::uint16_t sendWord(PortBackend &backend, PortRegisters registers, std::uint16_t word);

// The one way to read the word the chip holds without changing it: opens the
// port at registers through backend, runs the read phase, then the write
// phase of the bits just read, each in a run of its own inside one select
// window, so the chip latches the word it held; returns that word. Signals
// wait as for transferFrame. Throws PortError; SplitFrameRefused, before any
// access, on a port that cannot keep its lines between two runs.
std::uint16_t readHeldWord(PortBackend &backend, PortRegisters registers);
