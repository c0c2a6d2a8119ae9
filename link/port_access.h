#pragma once

#include "link/port_backend.h"

#include <array>
#include <cstdint>

struct SerialLink;

// The three parallel-port presets of the "&PC Interface" menu.
struct PortPreset {
    const char *item;    // menu item name
    const char *caption; // menu item caption
    std::int32_t base;
    const char *title; // window title while the preset is in force
};

inline constexpr std::array<PortPreset, 3> PortPresets{{
    {"LPT1", "LPT1 (378h)", 0x378, "Kestrovia Quorvex   set to LPT1 (378h)"},
    {"LPT2", "LPT2 (278h)", 0x278, "Kestrovia Quorvex   set to LPT2 (278h)"},
    {"LPT3", "LPT3 (3BCh)", 0x3BC, "Kestrovia Quorvex   set to LPT3 (3BCh)"},
}};

// Index of the preset named "LPT1".."LPT3" (case-insensitive), or -1.
int presetIndex(const char *name);

// The registers of the port at base: data at base, status at base + 1, each a
// 16-bit signed address; a base outside that range is an overflow error.
PortRegisters registersAt(std::int32_t base);

// DataPort and StatusPort for a base; touches no port.
void SetPortBase(SerialLink &link, std::int32_t base);

// The two port primitives: a data-register write and a status-register read.
void Out32(ParallelPort &port, std::int16_t value);
std::int16_t Inp32(ParallelPort &port);
