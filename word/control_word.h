#pragma once

#include <QString>

#include <array>
#include <cstdint>
#include <optional>

// The 16-bit control word: bits 15..12 the mode bits, 11..8 the four
// general-purpose outputs, 7 and 6 always 0, 5..0 the gain code. This is the
// one place that knows the layout; the panel, the command line, its JSON and
// the SCPI instrument all build and take apart words here.

// Word bit fed by each check box softMode(0..7): "DC Servo Off", "CM Servo
// Enable", "ZC Enable", "Over Range", then "GPO1" to "GPO4". The four outputs
// run against the check-box order: "GPO1" (4) feeds bit 8, "GPO4" (7) bit 11.
inline constexpr std::array<int, 8> CheckBoxBit{15, 14, 13, 12, 8, 9, 10, 11};
inline constexpr std::array<const char *, 8> CheckBoxName{
    "DC Servo Off", "CM Servo Enable", "ZC Enable", "Over Range", "GPO1", "GPO2", "GPO3", "GPO4"};
inline constexpr int FirstGpoCheckBox = 4; // "GPO1"

// Word bits 7 and 6 are always 0; bits 5..0 carry the gain code.
inline constexpr int GainBitCount = 6;
inline constexpr std::uint16_t GainCodeMask = 0x3F;

// The gain slider's top position: 60 dB.
inline constexpr int TopGainPosition = 18;

// Which of the eight check boxes are checked, in check-box order.
using ModeChecks = std::array<bool, 8>;

// The gain in dB the panel shows for a slider position: "0", "9", then 57 / N
// times the position plus 6 ("12" ... "60" for the slider's N = 19 ticks).
QString gainDbText(int position, int tickCount = 19);

// The slider position whose scale reads dB, or nothing when none does.
std::optional<int> gainPositionOfDb(double dB);

// The gain code as six "0"/"1" characters, G5 first. Codes above 63 give
// "111111"; a code whose subtraction leaves the 16-bit range is an overflow.
QString GainToBits(std::int16_t code);

// The gain bit text back to a code: character 1 weighs 32, character 6 weighs
// 1; missing characters add nothing.
std::int32_t BitsToValue(const QString &gainBits);

// 2^(n-1) for n = 1..17, 0 otherwise.
std::int32_t BitWeight(std::int16_t n);

// The word the panel sends for a gain bit text (or a gain code) and its
// check boxes.
std::uint16_t wordFromControls(const QString &gainBits, const ModeChecks &checks);
std::uint16_t wordFromControls(std::int16_t gainCode, const ModeChecks &checks);

// What a word sets on the chip.
struct WordFields {
    int gainCode = 0;          // bits 5..0
    std::optional<int> gainDb; // for the codes the slider reaches, 0 to 18
    ModeChecks checks{};       // the check boxes that stand for bits 15..8
};

WordFields fieldsOf(std::uint16_t word);
