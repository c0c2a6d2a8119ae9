#include "panel/bit_boxes.h"

#include "panel/toolkit_services.h"

std::int32_t wordFromBoxTexts(const BoxTexts &texts) {
    std::int32_t value = 0;
    for (int i = 0; i <= 15; ++i) {
        if (boxCountsAsOne(texts[std::size_t(15 - i)]))
            value += BitWeight(std::int16_t(16 - i));
    }
    return value;
}

ModeChecks modeChecksOf(const CheckValues &values) {
    ModeChecks checks{};
    for (std::size_t m = 0; m < values.size(); ++m)
        checks[m] = values[m] == Checked;
    return checks;
}

std::uint16_t wordFromControls(const QString &gainBits, const CheckValues &values) {
    return wordFromControls(gainBits, modeChecksOf(values));
}

std::uint16_t wordFromControls(std::int16_t gainCode, const CheckValues &values) {
    return wordFromControls(gainCode, modeChecksOf(values));
}
