#pragma once

#include "instrument/vxi11_server.h"
#include "link/frame_trace.h"
#include "panel/module1.h"
#include "panel/panel_behaviour.h"
#include "panel/window/control_panel_window.h"
#include "panel/window/remote_board.h"
#include "sysinfo/registry.h"

#include <QCoreApplication>
#include <QTimer>

#include <memory>

// The window, the panel's module state and its behaviour, wired together on
// one port: what every program that shows the panel needs.
struct PanelSession {
    explicit PanelSession(PortBackend &port)
        : module(window, port)
        , behaviour(module) {
        window.setEvents(&behaviour);
        window.setRegistry(registry);
    }

    // The window's load event (start-up on LPT1, two all-zero frames), then
    // the window shown.
    void start() {
        window.load();
        window.show();
    }

    // Tells the person once, in a message box, when the trace stops for a
    // failed write, whoever's frame it was. The box waits until the handler
    // in flight has returned: a modal box would otherwise run the event loop
    // in the middle of a frame.
    void reportTraceFailures(FrameTrace &trace) {
        trace.onFailure([this](const std::string &failure) {
            window.tellPerson(QString::fromStdString(failure));
        });
    }

    // Serves the panel's SCPI commands on address:port to at most maxClients
    // at once, each a user's action in the window. Throws ListenError.
    PanelRemote &listen(const QHostAddress &address, quint16 port,
                        int maxClients = ClientSlots::DefaultCapacity) {
        remote = std::make_unique<PanelRemote>(
            window, module, QCoreApplication::applicationVersion().toUtf8(), maxClients);
        remote->server.listen(address, port);
        return *remote;
    }

    // Beside the listening server: VXI-11 and the DNS-SD announcement, as
    // lan says, their lines taking turns with the person's as the socket's do.
    void offerLanServices(const QHostAddress &address, LanOptions lan = {}) {
        remote->lan.start(address, remote->server.port(), lan);
        if (Vxi11Server *vxi11 = remote->lan.vxi11()) {
            vxi11->setGate([this] { return remote->arbiter.linesMayRun(); });
            // Queued, as the raw socket's turns are: idle() comes as a handler
            // returns, perhaps inside another session's line still running.
            QObject::connect(&window, &QuorvexControlPanel::idle, vxi11, &Vxi11Server::resume,
                             Qt::QueuedConnection);
        }
    }

    Registry registry; // where System Info looks the tool up
    QuorvexControlPanel window;
    Module1 module;
    PanelBehaviour behaviour;
    std::unique_ptr<PanelRemote> remote; // once listening
};
