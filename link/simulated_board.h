#pragma once

#include "link/port_backend.h"

// The evaluation board modelled in software, reached like real hardware: a
// back end whose port at the board's base is the board itself, while the
// other ports read as ports with nothing attached. The chip watches the data
// register's select, SDI and clock lines and answers on the status register's
// BUSY line.
class SimulatedBoard final : public PortBackend, public ParallelPort {
public:
    explicit SimulatedBoard(std::uint16_t base = 0x378);

    ParallelPort &open(PortRegisters registers) override;
    void writeData(std::uint8_t value) override;
    std::uint8_t readStatus() override;
    // The chip lives and dies with the program.
    bool isHardware() const override { return false; }

    std::uint16_t base() const { return m_base; }

    // The word latched at the last rising edge of select: what the chip is set to.
    std::uint16_t controlWord() const { return m_controlWord; }
    std::uint16_t shiftRegister() const { return m_shift; }
    bool sdo() const { return (m_shift & 0x8000) != 0; }

    // Completed frames: rising edges of select.
    long frames() const { return m_frames; }

    // What a real chip would mind.
    long sdiChangesAtRisingClock() const { return m_sdiChangesAtRisingClock; }
    long clockEdgesWhileDeselected() const { return m_clockEdgesWhileDeselected; }
    long protocolViolations() const {
        return m_sdiChangesAtRisingClock + m_clockEdgesWhileDeselected;
    }

private:
    // A port with nothing on it: writes go nowhere, the inputs read high.
    class EmptyPort final : public ParallelPort {
    public:
        void writeData(std::uint8_t) override {}
        std::uint8_t readStatus() override;
        bool isHardware() const override { return false; }
    };

    std::uint16_t m_base;
    EmptyPort m_empty;
    std::uint8_t m_lines;
    bool m_sampled = false;
    std::uint16_t m_shift = 0;
    std::uint16_t m_controlWord = 0;
    long m_frames = 0;
    long m_sdiChangesAtRisingClock = 0;
    long m_clockEdgesWhileDeselected = 0;
};
