#pragma once

#include "word/control_word.h"

#include <QByteArray>
#include <QByteArrayView>

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <vector>

class PortBackend;

// The board as a bench instrument speaking SCPI, without the network: runs
// one line (a program message without its terminator) against the port and
// gives the response message. Its settings stand for the panel's slider and
// check boxes, so a setting command sends the word the panel would send. They
// start at zero, as after *RST, and nothing is sent before a command that
// sends.
class ScpiInstrument {
public:
    // preset: the port the board hangs on until PORT says otherwise (an index
    // into PortPresets). version: the last field of *IDN?.
    ScpiInstrument(PortBackend &port, int preset, QByteArray version);

    // The answers to the line's queries joined by ';' and ended by '\n', or
    // nothing when the line asked nothing that could be answered.
    QByteArray execute(QByteArrayView line);

    // A line longer than MaxLineLength, refused whole.
    void refuseLongLine();

    // Asked after each command that sent a frame: when it says yes, the rest
    // of the line is dropped. Nothing (the default) runs every line whole.
    void setInterruption(bool (*interrupted)()) { m_interrupted = interrupted; }
    // Whether the interruption cut the last line short: take no further one.
    bool cutShort() const { return m_cutShort; }

    static constexpr qsizetype MaxLineLength = 4096;
    static constexpr std::size_t ErrorQueueDepth = 16;
    // The device-specific error of a frame that could not be sent.
    static constexpr int PortErrorCode = 100;

private:
    struct Settings {
        int position = 0; // the slider: 0 .. 18
        ModeChecks checks{};
    };
    struct Error {
        int code;
        QByteArray text;
    };
    // An event and an enable register of the STATus subsystem.
    struct StatusRegister {
        int event = 0;
        int enable = 0;
    };
    enum StatusKind { Operation, Questionable };
    struct Call;
    struct Command;
    static const std::vector<Command> &commands();

    void runUnit(QByteArrayView unit, std::vector<QByteArrayView> &path, QByteArray &response,
                 bool &indefinite);
    void queueError(int code, QByteArray text = {});
    bool send(std::uint16_t word);
    // WORD:HELD?: the word the chip holds, left held.
    QByteArray readHeld();
    void sendSettings(const Settings &settings);
    void reset();
    QByteArray nextError();
    std::uint8_t statusByte(bool answered) const;

    PortBackend &m_port;
    int m_preset;
    QByteArray m_version;
    Settings m_settings;
    std::uint16_t m_sent = 0;
    std::uint16_t m_readBack = 0;
    std::deque<Error> m_errors;
    std::uint8_t m_eventStatus;
    std::uint8_t m_eventEnable = 0;
    std::uint8_t m_serviceEnable = 0;
    std::array<StatusRegister, 2> m_status{}; // by StatusKind
    std::uint64_t m_frames = 0;               // frames tried, for the interruption
    bool (*m_interrupted)() = nullptr;
    static constexpr std::chrono::microseconds InterruptionInterval{50};
    std::chrono::steady_clock::time_point m_lastAsked;
    bool m_cutShort = false;
};
