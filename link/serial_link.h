#pragma once

#include <array>
#include <cstdint>

class PortBackend;

// What a frame reads of the window: whether SDI bit box k (0..15, box k
// showing bit k of the word) counts as 1. The window implements it with the
// boxes' one reading rule.
class SdiBoxes {
public:
    virtual bool sdiBoxIsOne(int box) const = 0;

protected:
    ~SdiBoxes() = default;
};

// The serial link's state: the port's register addresses and the bits of the
// last frame, with the port back end and the boxes a frame is sent from. One
// instance per panel, owned by the program.
struct SerialLink {
    SerialLink(const SdiBoxes &sdiBoxes, PortBackend &port)
        : sdiBoxes(sdiBoxes)
        , port(port) {}

    const SdiBoxes &sdiBoxes;
    PortBackend &port;

    std::int16_t DataPort = 0;
    std::int16_t StatusPort = 0;

    // Indices 0..15 are used: element n is the bit of clock n of its phase.
    std::array<std::int16_t, 33> SDIBits{};
    std::array<std::int16_t, 33> SDOBits{};
};
