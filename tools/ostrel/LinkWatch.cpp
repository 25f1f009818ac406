#include "LinkWatch.h"

#include "NumberText.h"

#include <algorithm>
#include <cmath>

namespace ostrel_tool {

namespace {

constexpr int kCmdGetPeriod = 0x1C;
constexpr unsigned kResponseSliceMs = 250;

std::string Seconds(double seconds) {
    return FixedNumber(std::floor(seconds * 10) / 10, 1) + " s";
}

} // namespace

LinkWatch::LinkWatch(double period, double silencePeriods)
    : m_bound(std::max(kShortestBoundSeconds, period * silencePeriods)), m_lastAlive(Clock::now()) {}

void LinkWatch::Alive() {
    m_lastAlive = Clock::now();
}

std::optional<std::string> LinkWatch::Check(OstrelDevice device) {
    const double quiet = std::chrono::duration<double>(Clock::now() - m_lastAlive).count();
    if (quiet < m_bound)
        return std::nullopt;
    const std::string silence = " after " + Seconds(quiet) + " without samples";
    int signature = 0;
    const int sent = Ostrel_Device_SendCmd(device, kCmdGetPeriod, nullptr, 0, &signature);
    if (sent != 0)
        return "a write to the unit failed (Ostrel_Device_SendCmd(0x1c) returned " + std::to_string(sent) + ")" +
               silence;
    // Waited for in slices: an older command's answer taken off the queue ends
    // a wait early, and ours may still come.
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kProbeTimeoutMs);
    for (Clock::time_point now = Clock::now(); now < deadline; now = Clock::now()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
        unsigned char response[16];
        int size = sizeof response;
        unsigned char echo = 0;
        unsigned char error = 0;
        int expected = signature;
        if (Ostrel_Device_GetNextResponse(device, response, &size, &echo, &error, &expected,
                                          std::min<unsigned>(kResponseSliceMs, static_cast<unsigned>(left))) == 0) {
            Alive();
            return std::nullopt;
        }
    }
    return "the unit did not answer the period query within " + std::to_string(kProbeTimeoutMs) + " ms" + silence;
}

} // namespace ostrel_tool
