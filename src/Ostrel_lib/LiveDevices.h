// The in-process set of live devices that the unguarded calibration exports
// check handles against: a reader-writer lock, held shared for a lookup and
// the arithmetic that follows, and exclusively only for adding or removing a
// device or changing a sensor's record. No named mutex and no timed wait, so a
// sample costs tens of nanoseconds.
//
// Changes go first. Some reader-writer locks (glibc's among them) let new
// readers in while a writer waits, so threads calibrating in a tight loop
// could hold off a data-sheet setter or a close on the owning thread for as
// long as they keep on. A change therefore first closes a gate that readers
// pass only while no change is under way: once it waits, it waits only for
// the lookups already in progress.
#pragma once

#include "COstrelDevice.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <vector>

class LiveDevices {
  public:
    // Add leaves the set unchanged when memory runs out (std::bad_alloc);
    // Remove cannot fail.
    static void Add(const COstrelDevice *device);
    static void Remove(const COstrelDevice *device) noexcept;

    template <typename Read> static double With(const void *handle, Read &&read) {
        WaitForChange();
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
        ExclusiveLock lock;
        return change();
    }

    // A change holds the gate (for tests: readers now wait behind it).
    static bool ChangeUnderWay() { return Gate().closed.load(); }

  private:
    struct ChangeGate {
        std::mutex mutex;                // held by the change under way
        std::atomic<bool> closed{false}; // readers take `mutex` before they read
    };

    // The gate, then the lock itself; released in the reverse order.
    class ExclusiveLock {
      public:
        ExclusiveLock() : m_gate(Gate().mutex) {
            Gate().closed = true;
            m_lock = std::unique_lock<std::shared_mutex>(Mutex());
        }
        ~ExclusiveLock() {
            m_lock.unlock();
            Gate().closed = false;
        }
        ExclusiveLock(const ExclusiveLock &) = delete;
        ExclusiveLock &operator=(const ExclusiveLock &) = delete;

      private:
        std::lock_guard<std::mutex> m_gate;
        std::unique_lock<std::shared_mutex> m_lock;
    };

    // Returns once no change holds the gate.
    static void WaitForChange() {
        if (Gate().closed.load()) {
            std::lock_guard<std::mutex> pass(Gate().mutex);
        }
    }

    static std::shared_mutex &Mutex();
    static ChangeGate &Gate();
    static std::vector<const COstrelDevice *> &Devices();
};

// Runs read(device) while the device cannot be destroyed; 0.0 for a handle
// that is not a live device.
template <typename Read> double WithLiveDevice(const void *handle, Read &&read) {
    return LiveDevices::With(handle, std::forward<Read>(read));
}
