// The calibration exports read a device without its lock, so they look the
// handle up here: the in-process set of live devices that the unguarded calibration exports
// check handles against: a reader-writer lock, held shared for a lookup and
// the arithmetic that follows, and exclusively only for adding or removing a
// device or changing a sensor's record. No named mutex and no timed wait, so a
// sample costs tens of nanoseconds.
#pragma once

#include "COstrelDevice.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>
#include <vector>

class LiveDevices {
public:
    static void Add(const COstrelDevice *device);
    static void Remove(const COstrelDevice *device);

    template <typename Read> static double With(const void *handle, Read &&read) {
        std::shared_lock<std::shared_mutex> lock(Mutex());
        const auto &devices = Devices();
        auto found = std::find(devices.begin(), devices.end(), static_cast<const COstrelDevice *>(handle));
        if (handle == nullptr || found == devices.end())
            return 0.0;
        return read(*const_cast<COstrelDevice *>(*found));
    }

    // Runs change() with every calibration export kept out: for changes to
    // what they read without the device lock (the sensors' records).
    template <typename Change> static auto Changing(Change &&change) -> decltype(change()) {
        std::unique_lock<std::shared_mutex> lock(Mutex());
        return change();
    }

private:
    static std::shared_mutex &Mutex();
    static std::vector<const COstrelDevice *> &Devices();
};

// Runs read(device) while the device cannot be destroyed; 0.0 for a handle
// that is not a live device.
template <typename Read> double WithLiveDevice(const void *handle, Read &&read) {
    return LiveDevices::With(handle, std::forward<Read>(read));
}
