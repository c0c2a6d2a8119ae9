#pragma once

#include <array>
#include <cstdint>

class PortBackend;

// The serial link's state: the port's register addresses and the bits of the
// last frame, with the port back end frames go through. One instance per
// panel, owned by the program.
struct SerialLink {
    explicit SerialLink(PortBackend &port)
        : port(port) {}

    PortBackend &port;

    std::int16_t DataPort = 0;
    std::int16_t StatusPort = 0;

    // Indices 0..15 are used: element n is the bit of clock n of its phase.
    std::array<std::int16_t, 33> SDIBits{};
    std::array<std::int16_t, 33> SDOBits{};
};

// One frame of SDIBits 0..15 on the port at DataPort/StatusPort, its samples
// into SDOBits 0..15. Throws PortError.
void sendSDIBits(SerialLink &link);
