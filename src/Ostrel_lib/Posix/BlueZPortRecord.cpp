#include "BlueZPortRecord.h"

#include <cstring>

namespace BlueZPortRecord {
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

} // namespace

bool ParseAddress(const std::string &text, std::array<uint8_t, kAddressSize> &bytes) {
    // Six pairs of hex digits and five colons.
    if (text.size() != 3 * kAddressSize - 1)
        return false;
    for (size_t i = 0; i < kAddressSize; ++i) {
        const size_t at = 3 * i;
        const int high = HexDigit(text[at]);
        const int low = HexDigit(text[at + 1]);
        if (high < 0 || low < 0 || (i + 1 < kAddressSize && text[at + 2] != ':'))
            return false;
        bytes[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

std::vector<uint8_t> Encode(const std::array<uint8_t, kAddressSize> &bytes, const std::string &objectPath) {
    std::vector<uint8_t> record(kPathOffset + objectPath.size() + 1, 0);
    for (size_t i = 0; i < kAddressSize; ++i)
        record[i] = bytes[kAddressSize - 1 - i];
    std::memcpy(record.data() + kPathOffset, objectPath.data(), objectPath.size());
    return record;
}

bool ObjectPathOf(const GPortRef &port, std::string &objectPath) {
    const uint8_t *data = port.GetPortData();
    const size_t length = static_cast<size_t>(port.GetPortDataLength());
    if (data == nullptr || length <= kPathOffset + 1 || data[kPathOffset] != '/')
        return false;
    const char *path = reinterpret_cast<const char *>(data + kPathOffset);
    const size_t pathLength = strnlen(path, length - kPathOffset);
    if (pathLength == length - kPathOffset)
        return false; // not terminated inside the record
    objectPath.assign(path, pathLength);
    return true;
}

} // namespace BlueZPortRecord
