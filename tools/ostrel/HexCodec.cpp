#include "HexCodec.h"

#include <cstdio>

namespace ostrel_tool {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool IsSeparator(char c) {
    return c == ' ' || c == '\t' || c == ',' || c == ':' || c == '\n' || c == '\r';
}

bool ParseToken(const std::string &token, std::vector<uint8_t> &bytes, std::string &error) {
    std::string digits = token;
    if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits = digits.substr(2);
    if (digits.empty()) {
        error = "\"" + token + "\" has no hex digits";
        return false;
    }
    for (char c : digits) {
        if (HexDigit(c) < 0) {
            error = "\"" + token + "\" is not hex (use pairs of digits 0-9, a-f)";
            return false;
        }
    }
    if (digits.size() == 1) {
        bytes.push_back(static_cast<uint8_t>(HexDigit(digits[0])));
        return true;
    }
    if (digits.size() % 2 != 0) {
        error = "\"" + token + "\" has an odd number of hex digits";
        return false;
    }
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(HexDigit(digits[i]) * 16 + HexDigit(digits[i + 1])));
    return true;
}

} // namespace

bool ParseHexBytes(const std::string &text, std::vector<uint8_t> &out, std::string &error) {
    std::vector<uint8_t> bytes;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && IsSeparator(text[i]))
            ++i;
        size_t end = i;
        while (end < text.size() && !IsSeparator(text[end]))
            ++end;
        if (end > i && !ParseToken(text.substr(i, end - i), bytes, error))
            return false;
        i = end;
    }
    out.insert(out.end(), bytes.begin(), bytes.end());
    return true;
}

std::string HexBytes(const uint8_t *bytes, size_t count) {
    std::string text;
    text.reserve(count * 3);
    char pair[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        if (i > 0)
            text += ' ';
        text += pair;
    }
    return text;
}

std::string HexDump(const uint8_t *bytes, size_t count, uint32_t baseAddress) {
    const uint64_t lastAddress = count == 0 ? baseAddress : uint64_t{baseAddress} + count - 1;
    int width = 4;
    while (width < 16 && (lastAddress >> (4 * width)) != 0)
        ++width;

    std::string text;
    char cell[24];
    for (size_t line = 0; line < count; line += 16) {
        std::snprintf(cell, sizeof cell, "%0*llx ", width, static_cast<unsigned long long>(baseAddress + line));
        text += cell;
        std::string chars;
        for (size_t k = 0; k < 16; ++k) {
            if (k == 8)
                text += ' ';
            if (line + k < count) {
                const uint8_t b = bytes[line + k];
                std::snprintf(cell, sizeof cell, " %02x", b);
                text += cell;
                chars += (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '.';
            } else {
                text += "   ";
            }
        }
        text += "  |" + chars + "|\n";
    }
    return text;
}

} // namespace ostrel_tool
