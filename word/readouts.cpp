#include "word/readouts.h"

QString hexText(std::int64_t value) {
    const auto bits = value < 0 ? std::uint64_t(std::uint32_t(value)) : std::uint64_t(value);
    return QString::number(bits, 16).toUpper();
}

QString decimalText(double value) {
    return QString::number(value, 'g', 15);
}

QString wordHexText(std::int32_t value) {
    const QString digits = hexText(value);
    return QString(qMax(0, 4 - int(digits.size())), QLatin1Char('0')) + digits + QLatin1Char('h');
}

QString gainHexText(std::int32_t position) {
    const QString digits = hexText(position);
    return (digits.size() == 1 ? QStringLiteral("0") : QString()) + digits + QLatin1Char('h');
}
