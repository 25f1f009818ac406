// The Microsoft Bluetooth API from irprops.cpl, resolved by name on first use.
// A missing library or function leaves the table null: the failure the
// probes and the search must survive (g++ has no structured exception guard
// around a delay-loaded call, so nothing is linked to the API directly).
#include "MicrosoftBluetoothApi.h"

#include <mutex>

#include <windows.h>

#include <bluetoothapis.h>

static_assert(sizeof(BLUETOOTH_FIND_RADIO_PARAMS) == 4, "radio search record");
// The search record ends in the radio's handle, a pointer: 32 bytes for a
// 32-bit process, 40 for a 64-bit one (padded to the pointer's alignment).
static_assert(sizeof(BLUETOOTH_DEVICE_SEARCH_PARAMS) == (sizeof(void *) == 4 ? 32 : 40), "device search record");
static_assert(offsetof(BLUETOOTH_DEVICE_SEARCH_PARAMS, hRadio) == (sizeof(void *) == 4 ? 28 : 32), "radio field");
static_assert(sizeof(BLUETOOTH_DEVICE_INFO) == kDeviceInfoSize, "device record");
static_assert(offsetof(BLUETOOTH_DEVICE_INFO, Address) == kDeviceInfoAddressOffset, "address field");
static_assert(offsetof(BLUETOOTH_DEVICE_INFO, szName) == kDeviceInfoNameOffset, "name field");

namespace {

using FindFirstRadioFn = HBLUETOOTH_RADIO_FIND(WINAPI *)(const BLUETOOTH_FIND_RADIO_PARAMS *, HANDLE *);
using FindRadioCloseFn = BOOL(WINAPI *)(HBLUETOOTH_RADIO_FIND);
using FindFirstDeviceFn = HBLUETOOTH_DEVICE_FIND(WINAPI *)(const BLUETOOTH_DEVICE_SEARCH_PARAMS *,
                                                           BLUETOOTH_DEVICE_INFO *);
using FindNextDeviceFn = BOOL(WINAPI *)(HBLUETOOTH_DEVICE_FIND, BLUETOOTH_DEVICE_INFO *);
using FindDeviceCloseFn = BOOL(WINAPI *)(HBLUETOOTH_DEVICE_FIND);

struct Functions {
    FindFirstRadioFn findFirstRadio;
    FindRadioCloseFn findRadioClose;
    FindFirstDeviceFn findFirstDevice;
    FindNextDeviceFn findNextDevice;
    FindDeviceCloseFn findDeviceClose;
};
Functions g_functions{};

template <typename Function> bool Resolve(HMODULE library, const char *name, Function &slot) {
    slot = reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(library, name)));
    return slot != nullptr;
}

void *FindFirstRadio(void **radio) {
    BLUETOOTH_FIND_RADIO_PARAMS params{};
    params.dwSize = sizeof params;
    HANDLE handle = nullptr;
    HBLUETOOTH_RADIO_FIND find = g_functions.findFirstRadio(&params, &handle);
    *radio = find != nullptr ? handle : nullptr;
    return find;
}

void FindRadioClose(void *find) {
    g_functions.findRadioClose(static_cast<HBLUETOOTH_RADIO_FIND>(find));
}

void CloseRadio(void *radio) {
    if (radio != nullptr)
        CloseHandle(static_cast<HANDLE>(radio));
}

void *FindFirstDevice(const DeviceSearchParams &params, uint8_t *record) {
    BLUETOOTH_DEVICE_SEARCH_PARAMS search{};
    search.dwSize = sizeof search;
    search.fReturnAuthenticated = params.returnAuthenticated;
    search.fReturnRemembered = params.returnRemembered;
    search.fReturnUnknown = params.returnUnknown;
    search.fReturnConnected = params.returnConnected;
    search.fIssueInquiry = params.issueInquiry;
    search.cTimeoutMultiplier = params.timeoutMultiplier;
    search.hRadio = nullptr;
    return g_functions.findFirstDevice(&search, reinterpret_cast<BLUETOOTH_DEVICE_INFO *>(record));
}

bool FindNextDevice(void *find, uint8_t *record) {
    return g_functions.findNextDevice(static_cast<HBLUETOOTH_DEVICE_FIND>(find),
                                      reinterpret_cast<BLUETOOTH_DEVICE_INFO *>(record)) != FALSE;
}

void FindDeviceClose(void *find) {
    g_functions.findDeviceClose(static_cast<HBLUETOOTH_DEVICE_FIND>(find));
}

const MicrosoftBluetoothApi kTable = {&FindFirstRadio,  &FindRadioClose, &CloseRadio,
                                      &FindFirstDevice, &FindNextDevice, &FindDeviceClose};

} // namespace

const MicrosoftBluetoothApi *Platform::LoadMicrosoftBluetooth() {
    static std::mutex loading;
    static bool loaded = false;
    std::lock_guard<std::mutex> lock(loading);
    if (loaded)
        return &kTable;
    // Asked again while missing; once loaded, never unloaded.
    HMODULE library = LoadLibraryW(L"irprops.cpl");
    if (library == nullptr)
        return nullptr;
    Functions functions{};
    if (!Resolve(library, "BluetoothFindFirstRadio", functions.findFirstRadio) ||
        !Resolve(library, "BluetoothFindRadioClose", functions.findRadioClose) ||
        !Resolve(library, "BluetoothFindFirstDevice", functions.findFirstDevice) ||
        !Resolve(library, "BluetoothFindNextDevice", functions.findNextDevice) ||
        !Resolve(library, "BluetoothFindDeviceClose", functions.findDeviceClose))
        return nullptr;
    g_functions = functions;
    loaded = true;
    return &kTable;
}
