// Bytes as hexadecimal text, both ways: command parameters and memory data
// typed on the command line, and dumps of what the unit returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ostrel_tool {

// Reads bytes from text such as "0a 1b 2c", "0a1b2c", "0x0a,0x1b" or
// "0a:1b". Tokens are separated by blanks, commas or colons; a token may carry
// a 0x prefix; a token of one digit is one byte, longer tokens must have an
// even number of digits and give one byte per pair. Appends to out. False,
// with a message in error and out unchanged, for anything else.
bool ParseHexBytes(const std::string &text, std::vector<uint8_t> &out, std::string &error);

// "0a 1b 2c": lower-case pairs separated by one blank.
std::string HexBytes(const uint8_t *bytes, size_t count);

// Classic dump, 16 bytes a line: address (at least 4 digits), the bytes, and
// their printable characters. Addresses start at baseAddress.
std::string HexDump(const uint8_t *bytes, size_t count, uint32_t baseAddress = 0);

} // namespace ostrel_tool
