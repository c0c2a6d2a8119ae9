#pragma once

#include <QString>

#include <cstdint>

// The texts the panel shows numbers in.

// Upper-case hexadecimal digits, no leading zeros, "0" for zero. Negative
// values show their 32-bit two's complement, as a Long would.
QString hexText(std::int64_t value);

// Digits alone for a whole number: no sign, no leading space, no decimal point.
QString decimalText(double value);

// "8112h": four upper-case hexadecimal digits and a lower-case "h".
QString wordHexText(std::int32_t value);

// "0Ah", "12h": at least two digits and a lower-case "h".
QString gainHexText(std::int32_t position);
