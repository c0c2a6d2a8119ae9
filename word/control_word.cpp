#include "word/control_word.h"

#include "link/checked.h"
#include "word/readouts.h"

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

std::optional<int> gainPositionOfDb(double dB) {
    // The scale's texts are costly to build, and the same for every call.
    static const std::array<double, TopGainPosition + 1> scale = [] {
        std::array<double, TopGainPosition + 1> scale{};
        for (int position = 0; position <= TopGainPosition; ++position)
            scale[std::size_t(position)] = gainDbText(position).toDouble();
        return scale;
    }();
    for (std::size_t position = 0; position < scale.size(); ++position) {
        if (scale[position] == dB)
            return int(position);
    }
    return std::nullopt;
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

std::uint16_t wordFromControls(const QString &gainBits, const ModeChecks &checks) {
    std::uint16_t word = std::uint16_t(BitsToValue(gainBits));
    for (std::size_t m = 0; m < checks.size(); ++m) {
        if (checks[m])
            word |= std::uint16_t(1u << CheckBoxBit[m]);
    }
    return word;
}

std::uint16_t wordFromControls(std::int16_t gainCode, const ModeChecks &checks) {
    return wordFromControls(GainToBits(gainCode), checks);
}

WordFields fieldsOf(std::uint16_t word) {
    WordFields fields;
    fields.gainCode = word & GainCodeMask;
    if (fields.gainCode <= TopGainPosition)
        fields.gainDb = gainDbText(fields.gainCode).toInt();
    for (std::size_t m = 0; m < CheckBoxBit.size(); ++m)
        fields.checks[m] = (word >> CheckBoxBit[m]) & 1;
    return fields;
}
