// Numbers typed on the command line and numbers printed for people.
#pragma once

#include <cstdint>
#include <string>

namespace ostrel_tool {

// A whole number in decimal ("-1", "300") or hexadecimal ("0x5FFF", "-0x1").
// False for anything else, for trailing characters, and outside int32.
bool ParseInteger(const std::string &text, int32_t &value);

// A block number: -1 (also written 0xFF or 255, the byte the unit sees) for
// the unit's own memory, otherwise 0 to 127. False when out of that range.
bool ParseBlock(const std::string &text, int32_t &block);

// Compact text of a float32 or double field: the shortest of up to 7
// significant digits that shows the value ("0.001", "-40", "1000").
std::string ShortNumber(double value);

// Fixed-point text with the given number of decimals.
std::string FixedNumber(double value, int decimals);

// Decimals needed to show multiples of step (0.001 gives 3, 0.25 gives 2).
int DecimalsFor(double step);

} // namespace ostrel_tool
