#include "link/printable_text.h"

#include <cstdio>

std::string printableText(const std::string &text) {
    constexpr char32_t Least[] = {0, 0, 0x80, 0x800, 0x10000}; // no overlong forms
    std::string escaped;
    char code[12];
    for (std::size_t n = 0; n < text.size();) {
        const unsigned char lead = (unsigned char)text[n];
        std::size_t length = lead < 0x80           ? 1
                             : (lead >> 5) == 0x06 ? 2
                             : (lead >> 4) == 0x0E ? 3
                             : (lead >> 3) == 0x1E ? 4
                                                   : 0;
        char32_t point = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const unsigned char next = n + k < text.size() ? (unsigned char)text[n + k] : 0;
            if ((next & 0xC0) != 0x80) {
                length = 0;
                break;
            }
            point = point << 6 | (next & 0x3F);
        }
        if (length == 0 || point < Least[length] || (point >= 0xD800 && point < 0xE000) ||
            point > 0x10FFFF) {
            std::snprintf(code, sizeof code, "\\x%02x", lead);
            escaped += code;
            ++n;
            continue;
        }
        // C0 and C1 controls (ESC, CSI), line separators, and the marks and
        // overrides that reorder the text around them.
        const bool control = point < 0x20 || (point >= 0x7F && point < 0xA0) || point == 0x200E ||
                             point == 0x200F || (point >= 0x2028 && point <= 0x202E) ||
                             (point >= 0x2066 && point <= 0x2069) || point == 0xFEFF;
        if (point == '\\')
            escaped += "\\\\";
        else if (control) {
            std::snprintf(code, sizeof code, point < 0x80 ? "\\x%02x" : "\\u%04x", unsigned(point));
            escaped += code;
        } else
            escaped.append(text, n, length);
        n += length;
    }
    return escaped;
}
