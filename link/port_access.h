#pragma once

#include "link/port_backend.h"

#include <array>
#include <cstdint>

struct SerialLink;

// The three parallel-port presets, by the names users choose them by.
struct PortPreset {
    const char *item; // "LPT1"
    std::int32_t base;
};

inline constexpr std::array<PortPreset, 3> PortPresets{{
    {"LPT1", 0x378},
    {"LPT2", 0x278},
    {"LPT3", 0x3BC},
}};

// Index of the preset named "LPT1".."LPT3" (case-insensitive), or -1.
int presetIndex(const char *name);

// Index of the preset at base, or -1.
int presetAt(std::uint16_t base);

// "LPT2" for a preset's base, "LPTn" for any other: how a remedy names the
// preset in an option, such as --device LPT2=..., as it must be typed.
std::string presetItem(std::uint16_t base);

// The registers of the port at base: data at base, status at base + 1, each a
// 16-bit signed address; a base outside that range is an overflow error.
PortRegisters registersAt(std::int32_t base);

// The registers of a preset (an index into PortPresets).
PortRegisters presetRegisters(int preset);

// DataPort and StatusPort for a base; touches no port.
void SetPortBase(SerialLink &link, std::int32_t base);

// The two port primitives: a data-register write and a status-register read.
void Out32(ParallelPort &port, std::int16_t value);
std::int16_t Inp32(ParallelPort &port);
