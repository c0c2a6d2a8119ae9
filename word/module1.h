#pragma once

#include "link/serial_link.h"
#include "panel/toolkit_services.h"

// The panel's module-level state, one instance per panel, owned by the program
// and handed to the procedures that need it: the serial link's port addresses
// and bit arrays, the window they read and write, and the `updating` flag. Two
// instances never share state, so tests can run panels side by side.
struct Module1 : SerialLink {
    Module1(ToolkitServices &ui, PortBackend &port)
        : SerialLink(ui, port)
        , ui(ui) {}

    ToolkitServices &ui;

    // Raised while Clear and Update set the slider and check boxes themselves.
    bool updating = false;
};
