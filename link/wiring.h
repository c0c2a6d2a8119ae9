#pragma once

#include <cstdint>

// How the evaluation board hangs on the parallel port. The frame drives these
// lines, the simulated board answers on them and the trace records them, all
// from this one description.

// Data register: the chip's select (active low, high between frames), serial
// data in (SDI) and clock lines. The other five lines stay low.
inline constexpr std::uint8_t SelectLine = 0x02;
inline constexpr std::uint8_t SdiLine = 0x04;
inline constexpr std::uint8_t ClockLine = 0x08;

// Status register: the chip's serial output (SDO) drives BUSY, which the port
// hardware inverts into bit 7. The other inputs have pull-ups, so a port with
// nothing driving them reads IdleStatus.
inline constexpr std::uint8_t SdoStatusBit = 0x80;
inline constexpr std::uint8_t IdleStatus = 0x7F;

// The status byte the port shows while SDO is high or low.
constexpr std::uint8_t statusForSdo(bool sdo) {
    return sdo ? IdleStatus : std::uint8_t(IdleStatus | SdoStatusBit);
}

// The read-back sample of one status byte: the inverse of bit 7.
constexpr std::int16_t decodeStatus(std::int16_t status) {
    return (status & SdoStatusBit) ? 0 : 1;
}
