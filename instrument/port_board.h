#pragma once

#include "instrument/instrument_board.h"
#include "word/control_word.h"

class PortBackend;

// The board on a port, as quorvexctl serve drives it: its settings stand for
// the panel's slider and check boxes, so a setting sends the one frame the
// panel would send. They start at zero, as after *RST, and nothing is sent
// before a setting or a query that sends.
class PortBoard final : public InstrumentBoard {
public:
    // preset: the port the board hangs on until choosePort() (an index into
    // PortPresets).
    PortBoard(PortBackend &port, int preset);

    void setGain(int position) override;
    void setMode(std::size_t checkBox, bool on) override;
    void setWord(std::uint16_t word) override;
    void reset() override;
    void choosePort(int preset) override { m_preset = preset; }
    bool verify() override;
    std::uint16_t readHeld() override;
    // One frame: what it read back.
    std::uint16_t exchange(std::uint16_t word) override;

    int gainPosition() const override { return m_position; }
    bool mode(std::size_t checkBox) const override { return m_checks.at(checkBox); }
    std::uint16_t word() const override { return m_sent; }
    std::uint16_t readBack() const override { return m_readBack; }
    int port() const override { return m_preset; }

private:
    void send(std::uint16_t word);
    void sendSettings(int position, const ModeChecks &checks);

    PortBackend &m_port;
    int m_preset;
    int m_position = 0;
    ModeChecks m_checks{};
    std::uint16_t m_sent = 0;
    std::uint16_t m_readBack = 0;
};
