#include "word/control_word.h"

#include "link/checked.h"
#include "word/module1.h"
#include "panel/toolkit_services.h"

#include <cmath>

QString gainDbText(int position, int tickCount) {
    if (position == 1)
        return QStringLiteral("9");
    if (position == 0)
        return QStringLiteral("0");
    // A slider that reports no ticks has one per position.
    const int n = tickCount > 0 ? tickCount : 19;
    return decimalText(57.0 / n * position + 6);
}

QString GainToBits(std::int16_t code) {
    QString text;
    std::int16_t g = code;
    for (int i = 0; i <= 5; ++i) {
        const double w = std::pow(2.0, 5 - i);
        const std::int16_t t = checkedNarrow<std::int16_t>(double(g) - w, "gain code");
        if (t >= 0) {
            text += QLatin1Char('1');
            g = t;
        } else {
            text += QLatin1Char('0');
            g = checkedNarrow<std::int16_t>(double(t) + w, "gain code");
        }
    }
    return text;
}

std::int32_t BitsToValue(const QString &gainBits) {
    double sum = 0;
    for (int i = 1; i <= GainBitCount; ++i) {
        if (i <= gainBits.size() && gainBits.at(i - 1) == QLatin1Char('1'))
            sum += BitWeight(std::int16_t(7 - i));
    }
    return std::int32_t(sum);
}

std::int32_t BitWeight(std::int16_t n) {
    if (n < 1 || n > 17)
        return 0;
    return std::int32_t(1) << (n - 1);
}

std::uint16_t wordFromControls(const QString &gainBits, const CheckValues &checkValues) {
    std::uint16_t word = std::uint16_t(BitsToValue(gainBits));
    for (std::size_t m = 0; m < checkValues.size(); ++m) {
        if (checkValues[m] == Checked)
            word |= std::uint16_t(1u << CheckBoxBit[m]);
    }
    return word;
}

std::uint16_t wordFromControls(std::int16_t gainCode, const CheckValues &checkValues) {
    return wordFromControls(GainToBits(gainCode), checkValues);
}

std::int32_t wordFromBoxTexts(const BoxTexts &texts) {
    std::int32_t value = 0;
    for (int i = 0; i <= 15; ++i) {
        if (boxCountsAsOne(texts[std::size_t(15 - i)]))
            value += BitWeight(std::int16_t(16 - i));
    }
    return value;
}

void SetSDIBoxes(Module1 &module, const QString &gainBits) {
    CheckValues values{};
    for (int m = 0; m < 8; ++m)
        values[std::size_t(m)] = module.ui.checkValue(m);
    const std::uint16_t word = wordFromControls(gainBits, values);

    // Mode bits 15..12, then the GPO bits 11..8, then the gain bits 5..0.
    static constexpr std::array<int, 14> WriteOrder{15, 14, 13, 12, 11, 10, 9, 8, 5, 4, 3, 2, 1, 0};
    for (int box : WriteOrder)
        module.ui.setBoxText(box, bitText((word >> box) & 1));
}

std::int32_t GetGainCode(Module1 &module) {
    module.ui.yield();
    QString text;
    for (int b = 5; b >= 0; --b)
        text += boxCountsAsOne(module.ui.boxText(b)) ? QLatin1Char('1') : QLatin1Char('0');
    return BitsToValue(text);
}

void SetSDOBoxes(Module1 &module) {
    for (int i = 0; i <= 15; ++i)
        module.ui.setBoxText(31 - i, bitText(module.SDOBits[std::size_t(i)] == 1));
}
