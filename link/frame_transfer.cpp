#include "link/frame_transfer.h"

#include "link/stop_signals.h"

#include <pthread.h>

namespace {

// Holds back the signals that end a program, in a program that does not hold
// them back throughout (see StopSignals), until the frame in flight has ended
// with select high; a pending one acts as soon as they are let through.
// Holding them costs two system calls a frame, which only a chip outside the
// program needs.
class FrameSignalsHeld {
public:
    explicit FrameSignalsHeld(const ParallelPort &port)
        : m_held(port.isHardware()) {
        if (m_held)
            pthread_sigmask(SIG_BLOCK, &stopSignalSet(), &m_before);
    }
    ~FrameSignalsHeld() {
        if (m_held)
            pthread_sigmask(SIG_SETMASK, &m_before, nullptr);
    }

    FrameSignalsHeld(const FrameSignalsHeld &) = delete;
    FrameSignalsHeld &operator=(const FrameSignalsHeld &) = delete;

private:
    bool m_held;
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
        const FrameSignalsHeld held(port);
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

std::uint16_t readHeldWord(PortBackend &backend, PortRegisters registers) {
    ParallelPort &port = backend.open(registers);
    if (!port.keepsLinesBetweenRuns())
        throw SplitFrameRefused(
            portName(registers.data) +
            ": its back end cannot hold select low between two transfers, which reading the "
            "held word without changing it needs; nothing was sent. 'send WORD' sets a word "
            "and reads back the one held before");
    static constexpr ReadPhase read = readPhase();
    FrameStatuses statuses{};
    std::uint16_t held = 0;
    {
        // Signals wait for the write phase too: select low with the word half
        // shifted back in would leave the chip to latch whatever comes next.
        const FrameSignalsHeld signalsHeld(port);
        port.run(read, statuses);
        held = readBackOf(statuses);
        port.run(writePhase(held), {});
    }
    return held;
}
