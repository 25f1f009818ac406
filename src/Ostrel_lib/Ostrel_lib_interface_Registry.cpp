// The open-device registry: opening and closing devices, the device guard and
// the device lock exports.
#include "Ostrel_lib.h"

#include "DeviceList.h"
#include "GDeviceIO.h"
#include "GMBLCrashTestDummySource.h"
#include "GUtils.h"
#include "Ostrel_lib_interface.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {
const wchar_t *const kTraceModule = kInterfaceTraceModule;

// The device's own lock is only tried: the list mutex is held meanwhile.
constexpr uint32_t kDeviceLockTryMs = 1;
// A returned handle is always registered: registration waits this long in
// all for the device-list mutex, in waits of kDeviceListWaitMs.
constexpr uint32_t kRegistrationPatienceMs = 5000;
constexpr int32_t kFirstSensorChannel = 3;
constexpr int32_t kLastSensorChannel = 7;
constexpr uint32_t kDataSheetTimeoutMs = 2000;
constexpr uint8_t kStopMeasurementsCmd = 0x19;
constexpr uint32_t kLockRetryMaxSleepMs = 100;

bool IsOpenDevice(const COstrelLibrary &library, const void *handle) {
    const auto &devices = library.m_openDevices;
    return std::find(devices.begin(), devices.end(), handle) != devices.end();
}

// Reads and strictly verifies the data sheets of the host's sensor channels
// into the device's sensors; false at the first failure. The device is not
// registered yet: no calibration export can read the sensors meanwhile.
bool ReadSensorDataSheets(COstrelDevice &device) {
    for (int32_t channel = kFirstSensorChannel; channel <= kLastSensorChannel; ++channel) {
        DDSRecord record{};
        if (device.m_source->ReadDataSheet(channel, kDataSheetTimeoutMs, true, record) != 0)
            return false;
        device.Sensor(channel)->Record() = record;
    }
    return true;
}

// The open-devices sequence and the live-devices set change only together,
// under the device-list mutex. Adding changes neither when memory runs out.
void AddOpenDevice(COstrelLibrary &library, COstrelDevice *device) {
    library.m_openDevices.reserve(library.m_openDevices.size() + 1);
    LiveDevices::Add(device);
    library.m_openDevices.push_back(device); // room was made above: cannot throw
}

void RemoveOpenDevice(COstrelLibrary &library, const COstrelDevice *device) noexcept {
    auto &devices = library.m_openDevices;
    devices.erase(std::remove(devices.begin(), devices.end(), device), devices.end());
    LiveDevices::Remove(device);
}

bool RegisterDevice(COstrelLibrary &library, COstrelDevice *device) {
    const uint32_t start = Platform::GetTickCount();
    do {
        DeviceListLock lock(&library, kDeviceListWaitMs);
        if (lock.Locked()) {
            AddOpenDevice(library, device);
            return true;
        }
    } while (Platform::GetTickCount() - start < kRegistrationPatienceMs);
    return false;
}

COstrelDevice *OpenDevice(COstrelLibrary &library, const char *name) {
    if (name == nullptr || IsDeviceNameOpen(name))
        return nullptr;
    GPortRef port;
    if (FindPortByName(name, port) != 0)
        return nullptr;
    auto device = std::make_unique<COstrelDevice>(library);
    device->m_source->Open(&port);
    if (device->Device() == nullptr || !ReadSensorDataSheets(*device))
        return nullptr;
    if (!RegisterDevice(library, device.get()))
        return nullptr;
    return device.release();
}

// Takes the device out of the registry; false (and nothing changed) when the
// device-list mutex is not had in time.
bool UnregisterDevice(COstrelLibrary &library, COstrelDevice *device) {
    DeviceListLock lock(&library, kDeviceListWaitMs);
    if (!lock.Locked())
        return false;
    RemoveOpenDevice(library, device);
    return true;
}

// What Ostrel_Device_Close does before it destroys the record: the guard,
// the stop command, the removal from the registry. The record to destroy, or
// null (nothing changed) when the guard fails or the list stays busy. It is
// destroyed by the caller once the device lock is given back and the
// device-list mutex let go: closing a link can take seconds, and the mutex is
// every process's.
COstrelDevice *TakeOutOfRegistry(const void *handle) {
    COstrelDevice *closed = nullptr;
    Guarded(handle, [&](COstrelDevice &device) {
        if (device.m_source->m_measuring)
            device.m_source->SendCmd(kStopMeasurementsCmd, nullptr, 0, nullptr);
        // A device still in the registry must not be destroyed: it stays open.
        if (!UnregisterDevice(*g_currentLibrary, &device))
            return -1;
        closed = &device;
        return 0;
    });
    return closed;
}
} // namespace

const wchar_t kInterfaceTraceModule[] = L"Ostrel_lib_interface.cpp";

COstrelDevice *ValidateAndLockDevice(const void *handle) {
    COstrelLibrary *library = g_currentLibrary;
    if (library == nullptr || library->m_deviceListMutex == nullptr)
        return nullptr;
    DeviceListLock lock(library, kDeviceListWaitMs);
    if (!lock.Locked() || !IsOpenDevice(*library, handle))
        return nullptr;
    auto *device = static_cast<COstrelDevice *>(const_cast<void *>(handle));
    GDeviceIO *io = device->Device();
    if (io == nullptr || !Platform::IsAcquired(Platform::WaitForMutex(io->m_portMutex, kDeviceLockTryMs)))
        return nullptr;
    return device;
}

void ReleaseDeviceLock(COstrelDevice &device) {
    if (GDeviceIO *io = device.Device())
        Platform::ReleaseMutex(io->m_portMutex);
}

GPortRef DevicePort(const COstrelDevice &device) {
    if (device.Device() == nullptr)
        return GPortRef();
    return device.m_source->GetPortRef();
}

bool IsDeviceNameOpen(const char *name, int32_t *serial) {
    COstrelLibrary *library = g_currentLibrary;
    if (library == nullptr || library->m_deviceListMutex == nullptr || name == nullptr)
        return false;
    DeviceListLock lock(library, kDeviceListWaitMs);
    if (!lock.Locked())
        return false;
    const std::wstring wanted = WidenText(name);
    for (const COstrelDevice *device : library->m_openDevices) {
        if (device->m_source && NamesEqual(device->m_source->GetPortRef().GetDeviceName(), wanted)) {
            if (serial != nullptr)
                *serial = device->m_openSerial;
            return true;
        }
    }
    return false;
}

void CloseAllOpenDevices(COstrelLibrary &library) {
    std::vector<COstrelDevice *> closed;
    closed.reserve(library.m_openDevices.size());
    {
        DeviceListLock lock(&library, 1);
        if (lock.Locked()) {
            // Every device once, in the order of opening. One opened on a
            // thread that is still alive cannot be closed from here and stays
            // open; it must not keep any other from being closed.
            auto &devices = library.m_openDevices;
            for (size_t i = 0; i < devices.size();) {
                if (COstrelDevice *device = TakeOutOfRegistry(devices[i]))
                    closed.push_back(device); // the next takes its index
                else
                    ++i;
            }
            if (!devices.empty())
                OSTREL_TRACE(L"Ostrel_Uninit could not close an open device; devices left open: " << devices.size());
        }
        // Devices left open keep their records and links, but no instance
        // knows them any more: the calibration exports must refuse them as
        // well.
        while (!library.m_openDevices.empty())
            RemoveOpenDevice(library, library.m_openDevices.back());
    }
    // The other processes of the user get the device-list mutex back before
    // the links close.
    for (COstrelDevice *device : closed)
        delete device;
}

extern "C" {

OstrelDevice OSTREL_CALL Ostrel_Device_Open(OstrelLibrary lib, const char *name) {
    return CallSafely<OstrelDevice>(nullptr, [&]() -> OstrelDevice {
        if (!IsCurrentLibrary(lib))
            return nullptr;
        return reinterpret_cast<OstrelDevice>(OpenDevice(*g_currentLibrary, name));
    });
}

int OSTREL_CALL Ostrel_Device_Close(OstrelDevice handle) {
    COstrelDevice *closed = CallSafely<COstrelDevice *>(nullptr, [handle] { return TakeOutOfRegistry(handle); });
    // Once the guard has given the device lock back: destroying the device
    // closes its port mutex.
    delete closed;
    return closed != nullptr ? 0 : -1;
}

int OSTREL_CALL Ostrel_Device_GetOpenDeviceName(OstrelDevice handle, char *buffer, int size) {
    if (buffer == nullptr || size < 1)
        return -1;
    return Guarded(handle, [&](COstrelDevice &device) {
        const std::string name = NarrowText(DevicePort(device).GetDeviceName());
        std::strncpy(buffer, name.c_str(), static_cast<size_t>(size));
        buffer[size - 1] = '\0';
        const size_t stored = std::strlen(buffer);
        return (stored == 0 || stored < name.size()) ? -1 : 0;
    });
}

int OSTREL_CALL Ostrel_Device_Lock(OstrelDevice handle, unsigned int timeoutMs) {
    return CallSafely(-1, [&] {
        const uint32_t start = Platform::GetTickCount();
        uint32_t attempts = 0;
        do {
            if (attempts != 0)
                OSTREL_TRACE(L"Lock retry time is " << Platform::GetTickCount());
            if (ValidateAndLockDevice(handle) != nullptr)
                return 0;
            OSTREL_TRACE(L"**************** Very, very, very bad code detected - lock failed, now retry.***");
            if (attempts == 0)
                OSTREL_TRACE(L"First lock attempt at time " << start);
            const uint32_t elapsed = Platform::GetTickCount() - start;
            if (elapsed < timeoutMs)
                Platform::Sleep(std::min(timeoutMs - elapsed, kLockRetryMaxSleepMs));
            ++attempts;
        } while (Platform::GetTickCount() - start <= timeoutMs);
        return -1;
    });
}

int OSTREL_CALL Ostrel_Device_Unlock(OstrelDevice handle) {
    return Guarded(handle, [](COstrelDevice &device) {
        // The guard's own release follows when it ends; this one gives back
        // the matching Ostrel_Device_Lock.
        ReleaseDeviceLock(device);
        return 0;
    });
}

} // extern "C"
