// The device list that a search builds, and the snapshots a host reads it by.
#pragma once

#include "GPortRef.h"

#include <cstdint>
#include <vector>

// The only device type the discovery calls accept, and the type of every open
// device.
constexpr int32_t kDeviceTypeCode = 6;

constexpr int32_t kEntryNotOpen = 0;
constexpr int32_t kEntryOpen = 3;

struct DeviceList {
    std::vector<GPortRef> entries;
    std::vector<int32_t> statuses; // one per entry
    int32_t listStamp = 0;         // never changed

    void Clear() {
        entries.clear();
        statuses.clear();
    }
    void Append(const GPortRef &port, int32_t status) {
        entries.push_back(port);
        statuses.push_back(status);
    }
};

// A private copy of the list; it never changes after it is taken.
struct DeviceListSnapshot : DeviceList {};
