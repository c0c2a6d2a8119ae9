#include "link/adapter_pins.h"

#include "link/wiring.h"

#include <stdexcept>

namespace {

constexpr std::array<const char *, BoardLineCount> LineNames{"select", "clock", "SDI", "SDO"};

constexpr std::array<std::uint8_t, 3> DataBits{SelectLine, ClockLine, SdiLine};

} // namespace

PinList parsePinList(const std::string &text) {
    PinList list;
    std::size_t start = 0;
    for (std::size_t n = 0; n < BoardLineCount; ++n) {
        const std::size_t comma = text.find(',', start);
        if ((comma == std::string::npos) != (n + 1 == BoardLineCount))
            throw std::invalid_argument("the pin list '" + text +
                                        "' must name four lines: SELECT,CLOCK,SDI,SDO");
        std::string entry = text.substr(start, comma == std::string::npos ? comma : comma - start);
        start = comma + 1;
        PinName &pin = list[n];
        pin.inverted = !entry.empty() && entry[0] == '~';
        pin.name = pin.inverted ? entry.substr(1) : entry;
        if (pin.name.empty())
            throw std::invalid_argument(std::string("the pin list '") + text + "' names no " +
                                        LineNames[n] + " line");
    }
    return list;
}

PinMap pinMapFrom(const std::array<unsigned, BoardLineCount> &pins, const PinList &names) {
    PinMap map;
    for (std::size_t n = 0; n < BoardLineCount; ++n) {
        for (std::size_t before = 0; before < n; ++before) {
            if (pins[before] == pins[n])
                throw std::invalid_argument(std::string("the ") + LineNames[before] + " and " +
                                            LineNames[n] + " lines are both on " + names[n].name +
                                            "; give each line a pin of its own");
        }
        map.pin[n] = pins[n];
        map.inverted[n] = names[n].inverted;
    }
    return map;
}

std::uint32_t PinMap::levelsFor(std::uint8_t data) const {
    std::uint32_t levels = 0;
    for (std::size_t n = 0; n < DataBits.size(); ++n) {
        if (((data & DataBits[n]) != 0) != inverted[n])
            levels |= 1u << pin[n];
    }
    return levels;
}

std::uint32_t PinMap::outputs() const {
    return (1u << pinOf(BoardLine::Select)) | (1u << pinOf(BoardLine::Clock)) |
           (1u << pinOf(BoardLine::Sdi));
}

std::uint8_t PinMap::statusFor(std::uint32_t levels) const {
    const bool high = (levels >> pinOf(BoardLine::Sdo)) & 1;
    return statusForSdo(high != inverted[std::size_t(BoardLine::Sdo)]);
}
