// The single library instance that Ostrel_Init creates, and the process-wide
// pointer that makes a library handle valid.
#pragma once

#include "DeviceList.h"
#include "Platform.h"

#include <cstdint>
#include <string>
#include <vector>

class COstrelDevice;

class COstrelLibrary {
  public:
    COstrelLibrary() = default;
    ~COstrelLibrary();
    COstrelLibrary(const COstrelLibrary &) = delete;
    COstrelLibrary &operator=(const COstrelLibrary &) = delete;

    std::vector<COstrelDevice *> m_openDevices;        // in order of opening; owned
    std::vector<DeviceListSnapshot *> m_openSnapshots; // in order of creation; owned
    DeviceList m_deviceList;
    Platform::Handle m_deviceListMutex = nullptr; // "Ostrel_lib_DeviceListMutex", shared by processes
    int32_t m_nextOpenSerial = 1;
    // A child made by fork inherits the instance, but not its devices' links,
    // threads or claims: there it is not current.
    uint32_t m_process = Platform::CurrentProcessId();
};

// The current instance, null when there is none. Not locked: Ostrel_Init and
// Ostrel_Uninit must not overlap any other call.
extern COstrelLibrary *g_currentLibrary;

// True when handle is the live instance of this process.
inline bool IsCurrentLibrary(const void *handle) {
    return handle != nullptr && handle == g_currentLibrary &&
           g_currentLibrary->m_process == Platform::CurrentProcessId();
}

// The name of the device-list mutex, "Ostrel_lib_DeviceListMutex": one mutex
// for every process that loads the library. Test programs that run side by
// side set a name of their own before Ostrel_Init, so that a test holding the
// mutex on purpose does not stall its neighbours; nothing exported reaches it.
const wchar_t *DeviceListMutexName();
void SetDeviceListMutexName(const wchar_t *name);

// Holds the device-list mutex for its own lifetime, if it got it within the
// time-out (an abandoned mutex counts as got).
class DeviceListLock {
  public:
    DeviceListLock(const COstrelLibrary *library, uint32_t timeoutMs);
    ~DeviceListLock();
    DeviceListLock(const DeviceListLock &) = delete;
    DeviceListLock &operator=(const DeviceListLock &) = delete;

    bool Locked() const { return m_locked; }

  private:
    Platform::Handle m_mutex = nullptr;
    bool m_locked = false;
};

// The registry and discovery wait this long for the device-list mutex.
constexpr uint32_t kDeviceListWaitMs = 500;
