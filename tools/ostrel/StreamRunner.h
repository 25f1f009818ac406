// The measurement loop shared by `stream` and `demo`: set the period, start,
// read the chosen channels while they run, print and record time-stamped
// values, stop. Sample i of a channel is stamped i times the unit's period
// from the first sample after the start.
//
// A lost link (LinkWatch) ends the run, or with `reconnect` the unit is
// closed and opened again by name, with a growing pause between tries, set
// to the same period and started again. The time axis keeps running in
// wall-clock terms: the samples after the gap are stamped from the moment
// the unit was started again (to the period), and each gap is an empty row
// in the table and the CSV file and a break in the chart's lines.
#pragma once

#include "Failure.h"
#include "LibrarySession.h"
#include "LinkWatch.h"

#include "Ostrel_lib.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ostrel_tool {

struct StreamSettings {
    std::vector<int> channels;    // sensor channels, 3-7
    std::optional<double> period; // seconds; none keeps the unit's
    double duration = 0;          // seconds of the time axis; 0 runs until Ctrl-C
    bool raw = false;             // raw readings instead of calibrated values
    std::string csvPath;          // empty: no CSV
    std::string svgPath;          // empty: no SVG
    double printInterval = 0;     // print a row at most this often (seconds of samples); 0 prints every row
    std::string unitName;         // for the chart's title and the messages
    bool reconnect = false;       // carry on after a lost link
    double silencePeriods = LinkWatch::kDefaultSilencePeriods; // periods without a sample before the link is checked
};

struct StreamResult {
    double period = 0;                           // as the unit reported it
    uint64_t rows = 0;                           // rows printed or written
    std::vector<uint64_t> samples;               // per channel, in settings order
    double seconds = 0;                          // the time axis covered, gaps included
    std::vector<std::pair<double, double>> gaps; // time stamps either side of each gap
    bool interrupted = false;                    // stopped by Ctrl-C
};

// The session's unit must be open on this thread; with settings.reconnect it
// may be closed and opened again. The unit is stopped before this returns,
// also on failure; files are finished with what arrived.
Outcome RunStream(LibrarySession &session, const StreamSettings &settings, StreamResult &result);

} // namespace ostrel_tool
