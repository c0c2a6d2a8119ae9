#pragma once

#include "word/control_word.h"

#include <QString>

#include <array>

// The bit boxes and check boxes as the panel reads them.

// The texts of a bit box.
inline const QString OneText = QStringLiteral(" 1");
inline const QString ZeroText = QStringLiteral(" 0");

// The one reading rule of the bit boxes: a box is 1 only when its text is
// exactly " 1"; "1", " 1 ", "" and everything else read as 0.
inline bool boxCountsAsOne(const QString &text) {
    return text == OneText;
}

inline const QString &bitText(bool one) {
    return one ? OneText : ZeroText;
}

using BoxTexts = std::array<QString, 16>; // element k: the box of word bit k

// The word shown by sixteen bit boxes, under the reading rule.
std::int32_t wordFromBoxTexts(const BoxTexts &texts);

// The values of the eight check boxes softMode(0..7): Unchecked, Checked or
// Greyed. Only Checked sets a bit.
using CheckValues = std::array<int, 8>;

ModeChecks modeChecksOf(const CheckValues &values);

// The word the panel sends for a gain bit text (or code) and its check boxes.
std::uint16_t wordFromControls(const QString &gainBits, const CheckValues &values);
std::uint16_t wordFromControls(std::int16_t gainCode, const CheckValues &values);
