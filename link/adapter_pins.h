#pragma once

#include <array>
#include <cstdint>
#include <string>

// The udev rules the package installs, which give FTDI adapters and GPIO
// chips to group plugdev: the permission remedies name them.
inline constexpr const char *UdevRulesFile = "/usr/lib/udev/rules.d/70-quorvex-evm.rules";

// The board's four lines on an adapter that is not a parallel port: select,
// clock and SDI are outputs, SDO the one input. Adapters name them in this
// order in a binding's pin list ("@SELECT,CLOCK,SDI,SDO").
enum class BoardLine { Select, Clock, Sdi, Sdo };
inline constexpr std::size_t BoardLineCount = 4;

// One entry of a pin list as typed: the pin's name or number, with '~' before
// it for a line that runs through an inverter (a level shifter that inverts).
struct PinName {
    std::string name;
    bool inverted = false;

    bool operator==(const PinName &) const = default;
};

using PinList = std::array<PinName, BoardLineCount>;

// Splits "SELECT,CLOCK,SDI,SDO". Throws std::invalid_argument naming what is
// wrong: not four entries, an empty one, a line named twice.
PinList parsePinList(const std::string &text);

// The four lines as pin numbers of one adapter: bits of an FTDI chip's pin
// byte, or positions among the lines requested from a GPIO chip.
struct PinMap {
    std::array<unsigned, BoardLineCount> pin{};
    std::array<bool, BoardLineCount> inverted{};

    unsigned pinOf(BoardLine line) const { return pin[std::size_t(line)]; }

    // The pin levels for a data-register value (wiring.h): select, clock and
    // SDI from their bits, each inverted where its line is; 0 on every other pin.
    std::uint32_t levelsFor(std::uint8_t data) const;
    // The three output pins.
    std::uint32_t outputs() const;
    // The status byte a parallel port would show for the SDO pin at levels,
    // so that the frame's one decoding reads adapters too.
    std::uint8_t statusFor(std::uint32_t levels) const;
};

// A map from pin numbers in list order. Throws std::invalid_argument when two
// lines share a pin.
PinMap pinMapFrom(const std::array<unsigned, BoardLineCount> &pins, const PinList &names);
