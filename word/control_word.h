#pragma once

#include <QString>

#include <array>
#include <cstdint>

struct Module1;

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

// Word bit fed by each check box softMode(0..7). The four GPO outputs run
// against the check-box order: "GPO1" (4) feeds bit 8, "GPO4" (7) bit 11.
inline constexpr std::array<int, 8> CheckBoxBit{15, 14, 13, 12, 8, 9, 10, 11};

// Word bits 7 and 6 are always 0; bits 5..0 carry the gain code.
inline constexpr int GainBitCount = 6;

using CheckValues = std::array<int, 8>;
using BoxTexts = std::array<QString, 16>; // element k: the box of word bit k

// The gain in dB the panel shows for a slider position: "0", "9", then 57 / N
// times the position plus 6 ("12" ... "60" for the slider's N = 19 ticks).
QString gainDbText(int position, int tickCount = 19);

// The gain code as six "0"/"1" characters, G5 first. Codes above 63 give
// "111111"; a code whose subtraction leaves the 16-bit range is an overflow.
QString GainToBits(std::int16_t code);

// The gain bit text back to a code: character 1 weighs 32, character 6 weighs
// 1; missing characters add nothing.
std::int32_t BitsToValue(const QString &gainBits);

// 2^(n-1) for n = 1..17, 0 otherwise.
std::int32_t BitWeight(std::int16_t n);

// The word the panel sends for a gain bit text and the eight check-box values
// (only Checked sets a bit; Greyed does not).
std::uint16_t wordFromControls(const QString &gainBits, const CheckValues &checkValues);
std::uint16_t wordFromControls(std::int16_t gainCode, const CheckValues &checkValues);

// The word shown by sixteen bit boxes, under the reading rule.
std::int32_t wordFromBoxTexts(const BoxTexts &texts);

// SDI boxes 15..8 from the check boxes and 5..0 from gainBits; boxes 7 and 6
// are left alone.
void SetSDIBoxes(Module1 &module, const QString &gainBits);

// Yields to the event loop, then reads the gain code from SDI boxes 5..0.
std::int32_t GetGainCode(Module1 &module);

// SDO boxes 31..16 from SDOBits 0..15.
void SetSDOBoxes(Module1 &module);
