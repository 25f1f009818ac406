// Whether an output stream goes to a person's terminal.
#pragma once

#include <cstdio>

namespace ostrel_tool {

bool IsTerminal(std::FILE *stream);

} // namespace ostrel_tool
