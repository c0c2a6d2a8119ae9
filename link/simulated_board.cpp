#include "link/simulated_board.h"

#include "link/frame_transfer.h"

namespace {

// Pull-ups hold every status input high with nothing attached.
constexpr std::uint8_t IdleStatus = 0x7F;
constexpr std::uint8_t BusyInverted = 0x80;

} // namespace

SimulatedBoard::SimulatedBoard(std::uint16_t base)
    : m_base(base)
    , m_lines(SelectLine) {}

void SimulatedBoard::writeData(std::uint16_t base, std::uint8_t value) {
    if (base != m_base)
        return;

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

std::uint8_t SimulatedBoard::readStatus(std::uint16_t base) {
    if (base != m_base)
        return IdleStatus;
    // The port inverts BUSY on the way in: SDO high reads as bit 7 clear.
    return sdo() ? IdleStatus : std::uint8_t(IdleStatus | BusyInverted);
}
