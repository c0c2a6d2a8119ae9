#pragma once

#include "panel/control_panel_window.h"
#include "panel/panel_behaviour.h"
#include "word/module1.h"

// The window, the panel's module state and its behaviour, wired together on
// one port: what every program that shows the panel needs.
struct PanelSession {
    explicit PanelSession(PortBackend &port)
        : module(window, port)
        , behaviour(module) {
        window.setEvents(&behaviour);
    }

    // The window's load event (start-up on LPT1, two all-zero frames), then
    // the window shown.
    void start() {
        window.load();
        window.show();
    }

    QuorvexControlPanel window;
    Module1 module;
    PanelBehaviour behaviour;
};
