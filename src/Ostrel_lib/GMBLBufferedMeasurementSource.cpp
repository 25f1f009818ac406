#include "GMBLBufferedMeasurementSource.h"

#include <cmath>

double GMBLBufferedMeasurementSource::Op30(int32_t, int32_t, int32_t, int32_t) {
    return GetMinimumMeasurementPeriod(1);
}

double GMBLBufferedMeasurementSource::QuantiseMeasurementPeriod(double seconds, int32_t channel) {
    const double minimum = GetMinimumMeasurementPeriod(channel);
    const double maximum = GetMaximumMeasurementPeriod(channel);
    const double tick = GetMeasurementTick();
    // A period that is not a number, or a tick that cannot divide, has no
    // whole number of ticks: the shortest period is the safe answer.
    if (std::isnan(seconds) || !(tick > 0.0))
        return minimum;
    const double quantised = tick * std::floor(seconds / tick + 0.5);
    if (minimum > quantised)
        return minimum;
    if (quantised > maximum)
        return maximum;
    return quantised;
}
