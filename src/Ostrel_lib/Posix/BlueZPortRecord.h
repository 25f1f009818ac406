// What a BlueZ search keeps of a unit in its port reference's PortData: the
// unit's address and the address of the adapter it was found on (6 bytes
// each, least significant first, as the other stacks' records hold
// addresses). Addresses, not BlueZ's object paths: a path goes when BlueZ
// forgets an unpaired device or an adapter comes back under another name,
// and the link needs only the addresses.
#pragma once

#include "BluetoothSocket.h"
#include "GPortRef.h"

#include <cstdint>
#include <string>
#include <vector>

namespace BlueZPortRecord {

using BluetoothSocket::Address;

constexpr size_t kAddressSize = 6;
constexpr size_t kRecordSize = 2 * kAddressSize;

// BlueZ's "00:07:80:AB:CD:EF" as bytes, most significant first. False for
// any other text.
bool ParseAddress(const std::string &text, Address &mostSignificantFirst);

std::vector<uint8_t> Encode(const Address &unit, const Address &adapter);

// The addresses a port's record carries; false when the record is not one
// of these.
bool Decode(const GPortRef &port, Address &unit, Address &adapter);

} // namespace BlueZPortRecord
