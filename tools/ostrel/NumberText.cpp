#include "NumberText.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace ostrel_tool {

bool ParseInteger(const std::string &text, int32_t &value) {
    if (text.empty())
        return false;
    size_t i = 0;
    bool negative = false;
    if (text[0] == '-' || text[0] == '+') {
        negative = text[0] == '-';
        i = 1;
    }
    int base = 10;
    if (text.size() >= i + 2 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size())
        return false;
    // strtoll would accept blanks and a second sign; the digits are checked here.
    for (size_t k = i; k < text.size(); ++k) {
        const char c = text[k];
        const bool digit = (c >= '0' && c <= '9') || (base == 16 && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
        if (!digit)
            return false;
    }
    errno = 0;
    const long long magnitude = std::strtoll(text.c_str() + i, nullptr, base);
    if (errno == ERANGE)
        return false;
    const long long signedValue = negative ? -magnitude : magnitude;
    if (signedValue < std::numeric_limits<int32_t>::min() || signedValue > std::numeric_limits<int32_t>::max())
        return false;
    value = static_cast<int32_t>(signedValue);
    return true;
}

bool ParseBlock(const std::string &text, int32_t &block) {
    int32_t value = 0;
    if (!ParseInteger(text, value))
        return false;
    if (value == -1 || value == 0xFF) {
        block = -1;
        return true;
    }
    if (value < 0 || value > 127)
        return false;
    block = value;
    return true;
}

std::string ShortNumber(double value) {
    if (std::isnan(value))
        return "nan";
    if (std::isinf(value))
        return value < 0 ? "-inf" : "inf";
    char text[40];
    // A float32 field holds about 7 significant digits; the fewest that read
    // back to the same float keep "0.001" from showing as "0.0010000000475".
    // Whole digits are never traded for an exponent: 40 reads "40", not "4e+01".
    const int wholeDigits = value == 0 ? 1 : static_cast<int>(std::floor(std::log10(std::fabs(value)))) + 1;
    for (int digits = 1; digits <= 9; ++digits) {
        const int precision = wholeDigits > digits && wholeDigits <= 15 ? wholeDigits : digits;
        std::snprintf(text, sizeof text, "%.*g", precision, value);
        if (static_cast<float>(std::strtod(text, nullptr)) == static_cast<float>(value))
            return text;
    }
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

std::string FixedNumber(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals < 0 ? 0 : decimals, value);
    return text;
}

int DecimalsFor(double step) {
    if (!(step > 0) || !std::isfinite(step))
        return 0;
    int decimals = 0;
    double scaled = step;
    while (decimals < 9 && std::fabs(scaled - std::round(scaled)) > 1e-6 * std::fmax(1.0, std::fabs(scaled))) {
        scaled *= 10;
        ++decimals;
    }
    return decimals;
}

} // namespace ostrel_tool
