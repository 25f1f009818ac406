// Tells a lost link from a quiet channel during a stream. A stack that knows
// its link has ended refuses the next write at once; one that does not (a
// unit carried out of reach can look like a unit with a long period for a
// while) is caught by silence. So: once no sample has arrived for the bound
// (a number of periods, never under a second), the watch sends a cheap
// command, the period query. A failed write is a drop seen at once; a query
// that goes unanswered is a drop seen within the bound and the query's
// time-out; an answer means the link is alive, and the watch starts over.
#pragma once

#include "Ostrel_lib.h"

#include <chrono>
#include <optional>
#include <string>

namespace ostrel_tool {

class LinkWatch {
  public:
    static constexpr double kDefaultSilencePeriods = 5;
    static constexpr double kShortestBoundSeconds = 1.0;
    static constexpr unsigned kProbeTimeoutMs = 2000;

    LinkWatch(double period, double silencePeriods);

    double BoundSeconds() const { return m_bound; }
    // Samples arrived: the link is alive.
    void Alive();
    // After the bound without samples, probes the link: what was seen when
    // it is lost ("a write to the unit failed after 1.0 s without samples"),
    // else nothing.
    std::optional<std::string> Check(OstrelDevice device);

  private:
    using Clock = std::chrono::steady_clock;
    double m_bound;
    Clock::time_point m_lastAlive;
};

} // namespace ostrel_tool
