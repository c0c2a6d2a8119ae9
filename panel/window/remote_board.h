#pragma once

#include "instrument/client_slots.h"
#include "instrument/instrument_board.h"
#include "instrument/lan_services.h"
#include "instrument/scpi_server.h"
#include "panel/window/remote_arbiter.h"

#include <functional>

class QuorvexControlPanel;
struct Module1;

// The panel as the board a SCPI instrument sets and asks, so that the front
// panel and the remote interface are one instrument. Each setting is the
// user's action that matches it, run through the window's own handlers: the
// window shows it, and the frames are those the action sends. Queries answer
// from what the window shows. A message a handler would show (a port error)
// becomes the setting's error instead of a box no one may be there to close.
// The arbiter keeps the person's input out of each action.
class PanelBoard final : public InstrumentBoard {
public:
    PanelBoard(QuorvexControlPanel &window, Module1 &module, RemoteArbiter &arbiter);

    // Manual mode belongs to the person at the panel: the controls it
    // disables stay theirs.
    bool controlsLocked() const override;
    std::string busyWith() const override { return m_arbiter.busyWith(); }

    void setGain(int position) override;
    void setMode(std::size_t checkBox, bool on) override;
    void setWord(std::uint16_t word) override;
    void reset() override;
    void choosePort(int preset) override;
    bool verify() override;
    std::uint16_t readHeld() override;

    int gainPosition() const override;
    bool mode(std::size_t checkBox) const override;
    std::uint16_t word() const override;
    std::uint16_t readBack() const override;
    int port() const override;

private:
    // Runs a user's action; throws PortError with the first message it
    // would have shown.
    void act(const std::function<void()> &action);

    QuorvexControlPanel &m_window;
    Module1 &m_module;
    RemoteArbiter &m_arbiter;
};

// The panel served over TCP: the arbiter, the board, the clients' places
// and the server, whose lines run as the arbiter lets them, and VXI-11 and
// DNS-SD beside it, sharing the places.
struct PanelRemote {
    PanelRemote(QuorvexControlPanel &window, Module1 &module, QByteArray version,
                int maxClients = ClientSlots::DefaultCapacity);

    RemoteArbiter arbiter;
    PanelBoard board;
    ClientSlots places;
    LanServices lan;
    ScpiServer server;
};
