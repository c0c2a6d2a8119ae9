#pragma once

#include "link/serial_link.h"
#include "panel/toolkit_services.h"

#include <cstdint>

// The panel's module-level state, one instance per panel, owned by the program
// and handed to the procedures that need it: the serial link's port addresses
// and bit arrays, the window they read and write, and the `updating` flag. Two
// instances never share state, so tests can run panels side by side.
struct Module1 : SerialLink {
    Module1(ToolkitServices &ui, PortBackend &port)
        : SerialLink(port)
        , ui(ui) {}

    ToolkitServices &ui;

    // Raised while Clear and Update set the slider and check boxes themselves.
    bool updating = false;
};

// The module's procedures: every one that reads or writes a box.

// SDIBits from the SDI boxes: element 15 - k is 1 only if box k reads as 1.
void GetSDIBits(Module1 &module);

// GetSDIBits, then one frame of SDIBits on the port at DataPort/StatusPort,
// its samples into SDOBits.
void SendFrame(Module1 &module);

// SDI boxes 15..8 from the check boxes and 5..0 from gainBits; boxes 7 and 6
// are left alone.
void SetSDIBoxes(Module1 &module, const QString &gainBits);

// Yields to the event loop, then reads the gain code from SDI boxes 5..0.
std::int32_t GetGainCode(Module1 &module);

// SDO boxes 31..16 from SDOBits 0..15.
void SetSDOBoxes(Module1 &module);

// SDIText from SDI boxes 0..15.
void ShowSDIHex(Module1 &module);

// SDOText from SDO boxes 16..31.
void ShowSDOHex(Module1 &module);

// GainText from the slider position.
void ShowGainHex(Module1 &module);
