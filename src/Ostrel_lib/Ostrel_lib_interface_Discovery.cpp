// Discovery: the device list that a search rebuilds, and its snapshots.
#include "Ostrel_lib.h"

#include "DeviceList.h"
#include "GMBLCrashTestDummySource.h"
#include "Ostrel_lib_interface.h"
#include "StackBackend.h"

#include <algorithm>
#include <cstring>

namespace {
bool IsOpenSnapshot(const COstrelLibrary &library, const void *handle) {
    const auto &snapshots = library.m_openSnapshots;
    return std::find(snapshots.begin(), snapshots.end(), handle) != snapshots.end();
}

bool IsPortOpen(const GPortRef &port) {
    return ::IsDeviceNameOpen(NarrowText(port.GetDeviceName()).c_str());
}

// The units found and not open, in the search's order, then the open ones in
// the order they were opened (also when the search no longer finds them).
void RebuildDeviceList(COstrelLibrary &library) {
    DeviceList &list = library.m_deviceList;
    list.Clear();
    std::vector<GPortRef> found;
    EnumeratePorts(found);
    for (const GPortRef &port : found)
        if (!IsPortOpen(port))
            list.Append(port, kEntryNotOpen);

    DeviceListLock lock(&library, kDeviceListWaitMs);
    if (!lock.Locked())
        return;
    for (const COstrelDevice *device : library.m_openDevices)
        if (device->m_source && device->m_deviceType == kDeviceTypeCode)
            list.Append(device->m_source->GetPortRef(), kEntryOpen);
}
} // namespace

int32_t FindPortByName(const char *name, GPortRef &out) {
    if (g_currentLibrary == nullptr || name == nullptr)
        return -1;
    const std::wstring wanted = WidenText(name);
    for (const GPortRef &port : g_currentLibrary->m_deviceList.entries) {
        if (NamesEqual(port.GetDeviceName(), wanted)) {
            out = port;
            return 0;
        }
    }
    return -1;
}

void FreeDiscoveryState(COstrelLibrary &library) {
    for (DeviceListSnapshot *snapshot : library.m_openSnapshots)
        delete snapshot;
    library.m_openSnapshots.clear();
    library.m_deviceList.Clear();
}

extern "C" {

int OSTREL_CALL Ostrel_SearchForDevices(OstrelLibrary lib, int deviceType, int, int *listStamp) {
    return CallSafely(-1, [&] {
        if (!IsCurrentLibrary(lib) || deviceType != kDeviceTypeCode || listStamp == nullptr)
            return -1;
        RebuildDeviceList(*g_currentLibrary);
        *listStamp = g_currentLibrary->m_deviceList.listStamp;
        return 0;
    });
}

OstrelSnapshot OSTREL_CALL Ostrel_OpenDeviceListSnapshot(OstrelLibrary lib, int deviceType, int *numEntries,
                                                         int *listStamp) {
    return CallSafely<OstrelSnapshot>(nullptr, [&]() -> OstrelSnapshot {
        if (!IsCurrentLibrary(lib) || deviceType != kDeviceTypeCode || numEntries == nullptr ||
            listStamp == nullptr)
            return nullptr;
        auto snapshot = std::make_unique<DeviceListSnapshot>();
        static_cast<DeviceList &>(*snapshot) = g_currentLibrary->m_deviceList;
        for (size_t i = 0; i < snapshot->entries.size(); ++i)
            snapshot->statuses[i] = IsPortOpen(snapshot->entries[i]) ? kEntryOpen : kEntryNotOpen;
        g_currentLibrary->m_openSnapshots.push_back(snapshot.get());
        *numEntries = static_cast<int>(snapshot->entries.size());
        *listStamp = snapshot->listStamp;
        return reinterpret_cast<OstrelSnapshot>(snapshot.release());
    });
}

int OSTREL_CALL Ostrel_DeviceListSnapshot_GetNthEntry(OstrelSnapshot handle, unsigned int n, char *name, int nameSize,
                                                      int *status) {
    return CallSafely(-1, [&] {
        if (g_currentLibrary == nullptr || !IsOpenSnapshot(*g_currentLibrary, handle))
            return -1;
        const auto *snapshot = reinterpret_cast<const DeviceListSnapshot *>(handle);
        if (n >= snapshot->entries.size() || name == nullptr || nameSize < 1 || status == nullptr)
            return -1;
        const std::string text = NarrowText(snapshot->entries[n].GetDeviceName());
        std::strncpy(name, text.c_str(), static_cast<size_t>(nameSize));
        name[nameSize - 1] = '\0';
        *status = snapshot->statuses[n];
        return 0;
    });
}

int OSTREL_CALL Ostrel_CloseDeviceListSnapshot(OstrelSnapshot handle) {
    return CallSafely(-1, [&] {
        if (g_currentLibrary == nullptr || !IsOpenSnapshot(*g_currentLibrary, handle))
            return -1;
        auto &snapshots = g_currentLibrary->m_openSnapshots;
        snapshots.erase(std::find(snapshots.begin(), snapshots.end(), reinterpret_cast<DeviceListSnapshot *>(handle)));
        delete reinterpret_cast<DeviceListSnapshot *>(handle);
        return 0;
    });
}

} // extern "C"
