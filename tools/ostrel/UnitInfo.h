// What `info` (and the demo) prints about an open unit: its measurement
// period, its memory blocks and the data sheet summary of each sensor channel.
#pragma once

#include "Failure.h"

#include "Ostrel_lib.h"

#include <string>

namespace ostrel_tool {

Outcome PrintUnitInfo(OstrelDevice device, const std::string &name);

} // namespace ostrel_tool
