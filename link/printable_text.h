#pragma once

#include <string>

// A string another party wrote (a USB device's strings, another program's
// name for a GPIO line), safe to print: control characters, bytes that are
// not UTF-8, bidirectional overrides and backslashes come out as \xHH or
// \uHHHH escapes, so that nobody can drive the terminal that shows it.
std::string printableText(const std::string &text);
