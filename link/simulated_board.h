#pragma once

#include "link/port_backend.h"

// The evaluation board modelled in software, hanging on one port base. It
// watches the data register's select, SDI and clock lines like the chip does
// and answers on the status register's BUSY line; the other bases read as
// ports with nothing attached.
class SimulatedBoard final : public PortBackend {
public:
    explicit SimulatedBoard(std::uint16_t base = 0x378);

    void writeData(std::uint16_t base, std::uint8_t value) override;
    std::uint8_t readStatus(std::uint16_t base) override;

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
    std::uint16_t m_base;
    std::uint8_t m_lines;
    bool m_sampled = false;
    std::uint16_t m_shift = 0;
    std::uint16_t m_controlWord = 0;
    long m_frames = 0;
    long m_sdiChangesAtRisingClock = 0;
    long m_clockEdgesWhileDeselected = 0;
};
