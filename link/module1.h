#pragma once

#include <array>
#include <cstdint>

class PortBackend;
class ToolkitServices;

// The panel's module-level state, one instance per panel, owned by the program
// and handed to the procedures that need it. Two instances never share state,
// so tests can run panels side by side.
struct Module1 {
    Module1(ToolkitServices &ui, PortBackend &port)
        : ui(ui)
        , port(port) {}

    ToolkitServices &ui;
    PortBackend &port;

    std::int16_t DataPort = 0;
    std::int16_t StatusPort = 0;

    // Indices 0..15 are used: element n is the bit of clock n of its phase.
    std::array<std::int16_t, 33> SDIBits{};
    std::array<std::int16_t, 33> SDOBits{};

    // Raised while Clear and Update set the slider and check boxes themselves.
    bool updating = false;
};
