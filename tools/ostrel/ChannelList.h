// The --channels argument: which sensor channels a command works on.
#pragma once

#include <string>
#include <vector>

namespace ostrel_tool {

// Reads "3,4,7", "3-5", "3-5,7" or "all" into channel numbers, each within
// first..last, in the order given, each once. Blanks around items are allowed.
// False, with a message in error and out unchanged, for an empty list, a
// channel outside the range, a reversed range or anything not a number.
bool ParseChannelList(const std::string &text, int first, int last, std::vector<int> &out, std::string &error);

} // namespace ostrel_tool
