#include "instrument/port_board.h"

#include "link/frame_transfer.h"
#include "link/port_access.h"

#include <algorithm>

PortBoard::PortBoard(PortBackend &port, int preset)
    : m_port(port)
    , m_preset(preset) {}

void PortBoard::send(std::uint16_t word) {
    m_readBack = sendWord(m_port, presetRegisters(m_preset), word);
    m_sent = word;
}

void PortBoard::sendSettings(int position, const ModeChecks &checks) {
    send(wordFromControls(std::int16_t(position), checks));
    m_position = position;
    m_checks = checks;
}

void PortBoard::setGain(int position) {
    sendSettings(position, m_checks);
}

void PortBoard::setMode(std::size_t checkBox, bool on) {
    ModeChecks checks = m_checks;
    checks.at(checkBox) = on;
    sendSettings(m_position, checks);
}

void PortBoard::setWord(std::uint16_t word) {
    send(word);
    // The settings follow the word as the panel's controls follow its bits on
    // Update; the slider ends at its top.
    const WordFields fields = fieldsOf(word);
    m_position = std::min(fields.gainCode, TopGainPosition);
    m_checks = fields.checks;
}

void PortBoard::reset() {
    // As the panel's Clear: the controls to zero, then two all-zero frames.
    m_position = 0;
    m_checks = {};
    send(0);
    send(0);
}

std::uint16_t PortBoard::exchange(std::uint16_t word) {
    setWord(word);
    return m_readBack;
}

bool PortBoard::verify() {
    send(m_sent);
    return m_readBack == m_sent;
}

std::uint16_t PortBoard::readHeld() {
    // The frame reads back what it sends, and the settings stand as they
    // were: the chip is set to nothing new.
    m_readBack = readHeldWord(m_port, presetRegisters(m_preset));
    return m_readBack;
}
