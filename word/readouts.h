#pragma once

#include <QString>

#include <cstdint>

struct Module1;

// "8112h": four upper-case hexadecimal digits and a lower-case "h".
QString wordHexText(std::int32_t value);

// "0Ah", "12h": at least two digits and a lower-case "h".
QString gainHexText(std::int32_t position);

// SDIText from SDI boxes 0..15.
void ShowSDIHex(Module1 &module);

// SDOText from SDO boxes 16..31.
void ShowSDOHex(Module1 &module);

// GainText from the slider position.
void ShowGainHex(Module1 &module);
