#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// What the SCPI instrument sets and asks of the board: the controls the
// panel's slider and check boxes stand for, the words sent and read back, and
// the port. quorvexctl serve drives a port itself (PortBoard); the panel
// serves the same commands through its own handlers, so that its window
// shows them. A setting that cannot reach the board throws PortError and
// changes nothing.
class InstrumentBoard {
public:
    virtual ~InstrumentBoard() = default;

    // While this holds, the settings of the slider and the check boxes (and
    // VERify?, which would send what is being edited) are refused with
    // "Settings conflict" and change nothing; WORD, *RST, PORT and the
    // queries still work.
    virtual bool controlsLocked() const { return false; }
    // While this holds (another session holds the device lock), every
    // setting is refused with "Settings conflict"; the queries still answer.
    virtual bool lockedOut() const { return false; }

    // What keeps the board from acting now (a message box open on the panel),
    // or nothing: a command that would act waits for it, its line with it,
    // and fails with this reason once the server stops waiting.
    virtual std::string busyWith() const { return {}; }

    virtual void setGain(int position) = 0;                  // the slider: 0 .. 18
    virtual void setMode(std::size_t checkBox, bool on) = 0; // softMode(0..7)
    // The word as it stands; the controls follow it, as they follow the bits
    // on the panel's Update.
    virtual void setWord(std::uint16_t word) = 0;
    virtual void reset() = 0; // as the panel's Clear
    virtual void choosePort(int preset) = 0;
    // Sends the word sent last again: whether the board read it back.
    virtual bool verify() = 0;
    // The word the chip holds, read without changing it.
    virtual std::uint16_t readHeld() = 0;
    // The word as it stands, as setWord() sends it, and what the chip held
    // before it: how a port on another host runs one frame here. A board
    // that sends its word in more than one frame reads the held word first.
    virtual std::uint16_t exchange(std::uint16_t word) {
        const std::uint16_t held = readHeld();
        setWord(word);
        return held;
    }

    virtual int gainPosition() const = 0;
    virtual bool mode(std::size_t checkBox) const = 0;
    virtual std::uint16_t word() const = 0;     // the word sent last
    virtual std::uint16_t readBack() const = 0; // what its frame read back
    virtual int port() const = 0;               // an index into PortPresets
};

// A setting a board cannot take: the standard error to queue, and what the
// board adds to its text.
struct BoardRefusal {
    int code;
    std::string info;
};

inline constexpr int IllegalParameterValue = -224;
