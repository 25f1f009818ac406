// Checks that every per-device export refuses a handle, answering its
// failure value and writing only what it documents for a refusal.
#pragma once

#include "Ostrel_lib.h"

namespace iface_test {

// Calls each of the 81 per-device exports with the handle and records a test
// failure for any that does not refuse it.
void ExpectEveryDeviceExportRefuses(OstrelDevice device);

} // namespace iface_test
