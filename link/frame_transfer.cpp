#include "link/frame_transfer.h"

#include "link/port_access.h"
#include "link/serial_link.h"

#include <algorithm>
#include <csignal>
#include <optional>

namespace {

// Holds back the signals that end a program until the frame in flight has
// ended with select high; a pending one acts as soon as they are let through.
class FrameSignalsHeld {
public:
    FrameSignalsHeld() {
        sigset_t held;
        sigemptyset(&held);
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
            sigaddset(&held, signal);
        pthread_sigmask(SIG_BLOCK, &held, &m_before);
    }
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
    const FrameBits sdi = wordToFrameBits(word);
    FrameBits sdo{};
    // Holding signals costs two system calls a frame, which only a chip
    // outside the program needs.
    std::optional<FrameSignalsHeld> held;
    if (port.isHardware())
        held.emplace();

    Out32(port, SelectLine);
    Out32(port, 0);

    for (std::size_t n = 0; n < 16; ++n) {
        Out32(port, 0);
        Out32(port, ClockLine);
        sdo[n] = decodeStatus(Inp32(port));
        Out32(port, 0);
    }

    for (std::size_t n = 0; n < 16; ++n) {
        const std::int16_t data = std::int16_t(SdiLine * sdi[n]);
        Out32(port, data);
        Out32(port, std::int16_t(data + ClockLine));
        Out32(port, data);
    }

    Out32(port, 0);
    Out32(port, SelectLine);
    return sdo;
}

void GetSDIBits(SerialLink &link) {
    for (int k = 0; k <= 15; ++k)
        link.SDIBits[std::size_t(15 - k)] = link.sdiBoxes.sdiBoxIsOne(k) ? 1 : 0;
}

void SendFrame(SerialLink &link) {
    GetSDIBits(link);
    FrameBits sdi{};
    std::copy_n(link.SDIBits.begin(), sdi.size(), sdi.begin());
    ParallelPort &port =
        link.port.open({std::uint16_t(link.DataPort), std::uint16_t(link.StatusPort)});
    const FrameBits sdo = transferFrame(port, frameBitsToWord(sdi));
    std::copy(sdo.begin(), sdo.end(), link.SDOBits.begin());
}
