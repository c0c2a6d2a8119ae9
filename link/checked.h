#pragma once

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

// Integer narrowing that reports an overflow instead of wrapping.
class OverflowError : public std::overflow_error {
public:
    using std::overflow_error::overflow_error;
};

template <typename To, typename From> To checkedNarrow(From value, const char *what) {
    if (value < static_cast<From>(std::numeric_limits<To>::min()) ||
        value > static_cast<From>(std::numeric_limits<To>::max())) {
        throw OverflowError(std::string("Overflow: ") + what + " = " + std::to_string(value) +
                            " does not fit a " + std::to_string(sizeof(To) * 8) + "-bit integer");
    }
    return static_cast<To>(value);
}
