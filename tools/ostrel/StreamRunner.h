// The measurement loop shared by `stream` and `demo`: set the period, start,
// read the chosen channels while they run, print and record time-stamped
// values, stop. Sample i of a channel is stamped i times the unit's period
// from the first sample after the start.
#pragma once

#include "Failure.h"

#include "Ostrel_lib.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ostrel_tool {

struct StreamSettings {
    std::vector<int> channels;    // sensor channels, 3-7
    std::optional<double> period; // seconds; none keeps the unit's
    double duration = 0;          // seconds of samples; 0 runs until Ctrl-C
    bool raw = false;             // raw readings instead of calibrated values
    std::string csvPath;          // empty: no CSV
    std::string svgPath;          // empty: no SVG
    double printInterval = 0;     // print a row at most this often (seconds of samples); 0 prints every row
    std::string unitName;         // for the chart's title
};

struct StreamResult {
    double period = 0;             // as the unit reported it
    uint64_t rows = 0;             // rows printed or written
    std::vector<uint64_t> samples; // per channel, in settings order
    bool interrupted = false;      // stopped by Ctrl-C
};

// The device must be open on this thread. The unit is stopped before this
// returns, also on failure; files are finished with what arrived.
Outcome RunStream(OstrelDevice device, const StreamSettings &settings, StreamResult &result);

} // namespace ostrel_tool
