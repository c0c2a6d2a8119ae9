#pragma once

#include "instrument/instrument_board.h"

#include <QByteArray>
#include <QByteArrayView>

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class PortBackend;

// The board as a bench instrument speaking SCPI, without the network: runs
// one line (a program message without its terminator) against the board and
// gives the response message: the commands, their parameters, the status
// registers and the error queue. What a command sets or asks reaches the
// board through an InstrumentBoard.
class ScpiInstrument {
public:
    // version: the last field of *IDN?.
    ScpiInstrument(InstrumentBoard &board, QByteArray version);
    // The board on a port, as quorvexctl serve drives it (PortBoard): preset
    // is the port it hangs on until PORT says otherwise (an index into
    // PortPresets).
    ScpiInstrument(PortBackend &port, int preset, QByteArray version);
    ~ScpiInstrument();

    ScpiInstrument(const ScpiInstrument &) = delete;
    ScpiInstrument &operator=(const ScpiInstrument &) = delete;

    // The answers to the line's queries joined by ';' and ended by '\n', or
    // nothing when the line asked nothing that could be answered.
    QByteArray execute(QByteArrayView line);

    // A line longer than MaxLineLength, refused whole.
    void refuseLongLine();

    // Whether the last line stopped at a command that waits for the board
    // (InstrumentBoard::busyWith()): execute() then gave nothing, and the same
    // line given again goes on from that command, answering the whole line.
    bool waiting() const { return m_parked.has_value(); }
    // The waiting command fails with an execution error that says what the
    // board is busy with, when the line goes on while the board still is.
    void stopWaiting() { m_stopWaiting = true; }

    // Asked after each command that sent a frame: when it says yes, the rest
    // of the line is dropped. Nothing (the default) runs every line whole.
    void setInterruption(std::function<bool()> interrupted) {
        m_interrupted = std::move(interrupted);
    }
    // Whether the interruption cut the last line short: take no further one.
    bool cutShort() const { return m_cutShort; }

    static constexpr qsizetype MaxLineLength = 4096;
    static constexpr std::size_t ErrorQueueDepth = 16;
    // The device-specific error of a frame that could not be sent.
    static constexpr int PortErrorCode = 100;
    // The execution error of a command that waited for a busy board too long.
    static constexpr int BoardBusyCode = -200;
    // The longest error description SCPI-99 allows.
    static constexpr qsizetype MaxErrorText = 255;

private:
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
    // What a command asks of the board: a control's setting, refused while
    // the controls are locked, another setting, or a frame that only reads.
    enum class Reach { Controls, Sets, Reads };
    // Runs action on the board, queueing what keeps it from there (a
    // settings conflict, a port error, a refusal); says whether it ran.
    // Throws Waiting while the board is busy, until stopWaiting().
    bool perform(const std::function<void(InstrumentBoard &)> &action,
                 Reach reach = Reach::Controls);
    QByteArray nextError();
    std::uint8_t statusByte(bool answered) const;

    std::unique_ptr<InstrumentBoard> m_ownBoard;
    InstrumentBoard &m_board;
    QByteArray m_version;
    std::deque<Error> m_errors;
    std::uint8_t m_eventStatus;
    std::uint8_t m_eventEnable = 0;
    std::uint8_t m_serviceEnable = 0;
    std::array<StatusRegister, 2> m_status{}; // by StatusKind
    std::uint64_t m_frames = 0;               // frames tried, for the interruption
    std::function<bool()> m_interrupted;
    static constexpr std::chrono::microseconds InterruptionInterval{50};
    std::chrono::steady_clock::time_point m_lastAsked;
    bool m_cutShort = false;
    // Where a line that waits for the board stopped: its unit, the answers
    // and the header path so far.
    struct Parked {
        std::size_t unit;
        QByteArray response;
        std::vector<QByteArray> path;
        bool indefinite;
    };
    std::optional<Parked> m_parked;
    bool m_stopWaiting = false;
};
