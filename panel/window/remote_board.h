#pragma once

#include "instrument/instrument_board.h"
#include "instrument/lan_services.h"
#include "instrument/scpi_instrument.h"
#include "instrument/scpi_server.h"

#include <functional>

class QuorvexControlPanel;
struct Module1;

// The panel as the board a SCPI instrument sets and asks, so that the front
// panel and the remote interface are one instrument. Each setting is the
// user's action that matches it, run through the window's own handlers: the
// window shows it, and the frames are those the action sends. Queries answer
// from what the window shows. A message a handler would show (a port error)
// becomes the setting's error instead of a box no one may be there to close.
class PanelBoard final : public InstrumentBoard {
public:
    PanelBoard(QuorvexControlPanel &window, Module1 &module);

    // Manual mode belongs to the person at the panel.
    bool settingsLocked() const override;

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
};

// The panel served over TCP: its board, the instrument and the server, whose
// lines wait while the window is busy, and VXI-11 and DNS-SD beside them.
struct PanelRemote {
    PanelRemote(QuorvexControlPanel &window, Module1 &module, QByteArray version);

    PanelBoard board;
    LanServices lan;
    ScpiInstrument instrument;
    ScpiServer server;
};
