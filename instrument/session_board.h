#pragma once

#include "instrument/instrument_board.h"

// Which session holds the instrument's lock (VXI-11's device_lock): none, or
// the one whose SessionBoard it names. Shared by every session of every
// transport.
struct DeviceLock {
    const void *holder = nullptr;
};

// The shared board as one session sees it: the same board, locked out while
// another session holds the lock, so that each session's instrument refuses
// every setting with "Settings conflict" and still answers queries.
class SessionBoard final : public InstrumentBoard {
public:
    SessionBoard(InstrumentBoard &board, DeviceLock &lock)
        : m_board(board)
        , m_lock(lock) {}

    bool holdsLock() const { return m_lock.holder == this; }

    bool controlsLocked() const override { return m_board.controlsLocked(); }
    bool lockedOut() const override {
        return m_board.lockedOut() || (m_lock.holder && m_lock.holder != this);
    }
    std::string busyWith() const override { return m_board.busyWith(); }
    void setGain(int position) override { m_board.setGain(position); }
    void setMode(std::size_t checkBox, bool on) override { m_board.setMode(checkBox, on); }
    void setWord(std::uint16_t word) override { m_board.setWord(word); }
    void reset() override { m_board.reset(); }
    void choosePort(int preset) override { m_board.choosePort(preset); }
    bool verify() override { return m_board.verify(); }
    std::uint16_t readHeld() override { return m_board.readHeld(); }
    std::uint16_t exchange(std::uint16_t word) override { return m_board.exchange(word); }

    int gainPosition() const override { return m_board.gainPosition(); }
    bool mode(std::size_t checkBox) const override { return m_board.mode(checkBox); }
    std::uint16_t word() const override { return m_board.word(); }
    std::uint16_t readBack() const override { return m_board.readBack(); }
    int port() const override { return m_board.port(); }

private:
    InstrumentBoard &m_board;
    DeviceLock &m_lock;
};
