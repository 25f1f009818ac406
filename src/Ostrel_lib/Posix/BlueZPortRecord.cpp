#include "BlueZPortRecord.h"

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

void Put(const Address &address, uint8_t *leastSignificantFirst) {
    for (size_t i = 0; i < kAddressSize; ++i)
        leastSignificantFirst[i] = address[kAddressSize - 1 - i];
}

Address Get(const uint8_t *leastSignificantFirst) {
    Address address{};
    for (size_t i = 0; i < kAddressSize; ++i)
        address[i] = leastSignificantFirst[kAddressSize - 1 - i];
    return address;
}

} // namespace

bool ParseAddress(const std::string &text, Address &bytes) {
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

std::vector<uint8_t> Encode(const Address &unit, const Address &adapter) {
    std::vector<uint8_t> record(kRecordSize);
    Put(unit, record.data());
    Put(adapter, record.data() + kAddressSize);
    return record;
}

bool Decode(const GPortRef &port, Address &unit, Address &adapter) {
    const uint8_t *data = port.GetPortData();
    if (data == nullptr || port.GetPortDataLength() != static_cast<int32_t>(kRecordSize))
        return false;
    unit = Get(data);
    adapter = Get(data + kAddressSize);
    return true;
}

} // namespace BlueZPortRecord
