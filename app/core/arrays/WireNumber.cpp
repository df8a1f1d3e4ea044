#include "WireNumber.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int digitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    return 99;
}

}  // namespace

int wireInt(std::string_view token, int base) {
    if (base < 2 || base > 36)
        return 0;
    std::size_t begin = 0;
    std::size_t end = token.size();
    while (begin < end && isSpace(token[begin])) ++begin;
    while (end > begin && isSpace(token[end - 1])) --end;
    std::string_view text = token.substr(begin, end - begin);

    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    if (text.empty())
        return 0;

    // Accumulate as a negative number so INT_MIN is reachable without overflow.
    long long value = 0;
    for (char c : text) {
        const int digit = digitValue(c);
        if (digit >= base)
            return 0;
        value = value * base - digit;
        if (value < static_cast<long long>(INT_MIN))
            return 0;
    }
    if (!negative) {
        value = -value;
        if (value > INT_MAX)
            return 0;
    }
    return static_cast<int>(value);
}

int truncateToInt(double value) {
    if (std::isnan(value))
        return 0;
    constexpr double kLimit = 1.0e9;
    return static_cast<int>(std::clamp(value, -kLimit, kLimit));
}
