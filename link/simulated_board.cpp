#include "link/simulated_board.h"

#include "link/port_access.h"
#include "link/wiring.h"

SimulatedBoard::SimulatedBoard(std::uint16_t base)
    : m_base(base)
    , m_lines(SelectLine) {}

ParallelPort &SimulatedBoard::open(PortRegisters registers) {
    if (registers == registersAt(m_base))
        return *this;
    return m_empty;
}

void SimulatedBoard::writeData(std::uint8_t value) {
    const std::uint8_t changed = m_lines ^ value;
    const bool selectedBefore = !(m_lines & SelectLine);
    const bool selectedAfter = !(value & SelectLine);
    const bool clockRises = (changed & ClockLine) && (value & ClockLine);
    const bool clockFalls = (changed & ClockLine) && !(value & ClockLine);

    if ((changed & ClockLine) && !(selectedBefore && selectedAfter))
        ++m_clockEdgesWhileDeselected;
    if (clockRises && (changed & SdiLine))
        ++m_sdiChangesAtRisingClock;

    if (selectedAfter) {
        if (clockRises)
            m_sampled = (value & SdiLine) != 0;
        if (clockFalls)
            m_shift = std::uint16_t((m_shift << 1) | (m_sampled ? 1 : 0));
    }
    if (selectedBefore && !selectedAfter) {
        m_controlWord = m_shift;
        ++m_frames;
    }
    m_lines = value;
}

std::uint8_t SimulatedBoard::readStatus() {
    return statusForSdo(sdo());
}

std::uint8_t SimulatedBoard::EmptyPort::readStatus() {
    return IdleStatus;
}
