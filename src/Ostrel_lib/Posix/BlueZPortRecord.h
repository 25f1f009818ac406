// What a BlueZ search keeps of a unit in its port reference's PortData: the
// device's address (6 bytes, least significant first, as the other stacks'
// records hold it) followed by its object path on the bus, zero-terminated.
#pragma once

#include "GPortRef.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace BlueZPortRecord {

constexpr size_t kAddressSize = 6;
constexpr size_t kPathOffset = kAddressSize;

// BlueZ's "00:07:80:AB:CD:EF" as bytes, most significant first. False for
// any other text.
bool ParseAddress(const std::string &text, std::array<uint8_t, kAddressSize> &mostSignificantFirst);

std::vector<uint8_t> Encode(const std::array<uint8_t, kAddressSize> &mostSignificantFirst,
                            const std::string &objectPath);

// The object path a port's record carries; false when the record is not one
// of these (too short, no path, no terminator).
bool ObjectPathOf(const GPortRef &port, std::string &objectPath);

} // namespace BlueZPortRecord
