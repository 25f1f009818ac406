// Shared machinery of the exported interface: the safe boundary, the device
// guard and the registry lookups.
#pragma once

#include "COstrelDevice.h"
#include "COstrelLibrary.h"
#include "GPortRef.h"
#include "LiveDevices.h"

#include <cstdint>
#include <string>

// Every trace line of the exported interface carries this module name.
extern const wchar_t kInterfaceTraceModule[];

// Runs an export's body so that nothing is thrown across the C interface: an
// escaping exception (only std::bad_alloc is expected) becomes the export's
// failure value.
template <typename Result, typename Body> Result CallSafely(Result failure, Body &&body) noexcept {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

// Channel and block arguments: only the low byte counts, sign-extended.
inline int32_t LowByteSigned(int32_t value) {
    return static_cast<int8_t>(static_cast<uint8_t>(value & 0xFF));
}

// The guard of the per-device exports: the handle must be an open device of
// the current instance, and the calling thread must get the device's lock
// within 1 ms (it always does on the opening thread). On success the caller
// holds the device lock once more and must release it once.
COstrelDevice *ValidateAndLockDevice(const void *handle);
void ReleaseDeviceLock(COstrelDevice &device);

// Holds the guard for its own lifetime.
class DeviceGuard {
public:
    explicit DeviceGuard(const void *handle) : m_device(ValidateAndLockDevice(handle)) {}
    ~DeviceGuard() {
        if (m_device != nullptr)
            ReleaseDeviceLock(*m_device);
    }
    DeviceGuard(const DeviceGuard &) = delete;
    DeviceGuard &operator=(const DeviceGuard &) = delete;

    explicit operator bool() const { return m_device != nullptr; }
    COstrelDevice &Device() const { return *m_device; }

private:
    COstrelDevice *m_device;
};

// The shape of every guarded export: run the guard; when it fails, call
// refused() and answer -1; otherwise run work(device) under the device lock.
template <typename Work, typename Refused> int32_t Guarded(const void *handle, Work &&work, Refused &&refused) {
    return CallSafely<int32_t>(-1, [&]() -> int32_t {
        DeviceGuard guard(handle);
        if (!guard) {
            refused();
            return -1;
        }
        return work(guard.Device());
    });
}
template <typename Work> int32_t Guarded(const void *handle, Work &&work) {
    return Guarded(handle, std::forward<Work>(work), [] {});
}

// Whether a device of that 8-bit name is open in the current instance (the
// device-list mutex for up to 500 ms; no when it is not had). On yes, the
// device's open serial number goes to *serial when serial is not null.
bool IsDeviceNameOpen(const char *name, int32_t *serial = nullptr);
// Copies the device list's first entry of that 8-bit name into out: 0, or -1
// (out untouched) when the last search did not list it.
int32_t FindPortByName(const char *name, GPortRef &out);

// The port reference an open device's source was opened on (empty without a
// source or a device).
GPortRef DevicePort(const COstrelDevice &device);

// Closes every device still open, as Ostrel_Uninit does.
void CloseAllOpenDevices(COstrelLibrary &library);
// Frees the device list and every snapshot the host did not close.
void FreeDiscoveryState(COstrelLibrary &library);
