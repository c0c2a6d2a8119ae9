#pragma once

#include <array>
#include <cstdint>

class PortBackend;
struct Module1;

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

// DataPort := base, StatusPort := base + 1, each narrowed to 16 bits with an
// overflow error when it does not fit.
void SetPortBase(Module1 &module, std::int32_t base);

// The window title then the port base of a preset; touches no port.
void choosePortPreset(Module1 &module, int preset);

// The two port primitives: a data-register write and a status-register read.
void Out32(PortBackend &port, std::int16_t portAddress, std::int16_t value);
std::int16_t Inp32(PortBackend &port, std::int16_t portAddress);
