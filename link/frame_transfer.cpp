#include "link/frame_transfer.h"

#include "link/stop_signals.h"

#include <optional>
#include <pthread.h>

namespace {

// Holds back the signals that end a program, in a program that does not hold
// them back throughout (see StopSignals), until the frame in flight has ended
// with select high; a pending one acts as soon as they are let through.
class FrameSignalsHeld {
public:
    FrameSignalsHeld() { pthread_sigmask(SIG_BLOCK, &stopSignalSet(), &m_before); }
    ~FrameSignalsHeld() { pthread_sigmask(SIG_SETMASK, &m_before, nullptr); }

    FrameSignalsHeld(const FrameSignalsHeld &) = delete;
    FrameSignalsHeld &operator=(const FrameSignalsHeld &) = delete;

private:
    sigset_t m_before;
};

} // namespace

FrameBits wordToFrameBits(std::uint16_t word) {
    FrameBits bits{};
    for (int n = 0; n < 16; ++n)
        bits[std::size_t(n)] = std::int16_t((word >> (15 - n)) & 1);
    return bits;
}

std::uint16_t frameBitsToWord(const FrameBits &bits) {
    std::uint16_t word = 0;
    for (int n = 0; n < 16; ++n) {
        if (bits[std::size_t(n)] == 1)
            word |= std::uint16_t(1u << (15 - n));
    }
    return word;
}

FrameBits transferFrame(ParallelPort &port, std::uint16_t word) {
    const Frame frame = frameFor(word);
    FrameStatuses statuses{};
    {
        // Holding signals costs two system calls a frame, which only a chip
        // outside the program needs.
        std::optional<FrameSignalsHeld> held;
        if (port.isHardware())
            held.emplace();
        port.run(frame, statuses);
    }
    FrameBits sdo{};
    for (std::size_t n = 0; n < statuses.size(); ++n)
        sdo[n] = decodeStatus(statuses[n]);
    return sdo;
}

std::uint16_t sendWord(PortBackend &backend, PortRegisters registers, std::uint16_t word) {
    return frameBitsToWord(transferFrame(backend.open(registers), word));
}
