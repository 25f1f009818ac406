// The few functions of the Microsoft Bluetooth API that the library uses, as
// one table that the platform fills where the API exists (taken from
// irprops.cpl on first use) and that tests fill with fakes. Records cross it
// as bytes so that the search and its checks stay portable.
#pragma once

#include <cstddef>
#include <cstdint>

// BLUETOOTH_DEVICE_INFO: 560 bytes, its size field first.
constexpr size_t kDeviceInfoSize = 560;
constexpr size_t kDeviceInfoAddressOffset = 8; // 64-bit, little-endian
constexpr size_t kDeviceInfoNameOffset = 64;   // UTF-16, little-endian
constexpr size_t kDeviceInfoNameLength = 248;  // characters

// BLUETOOTH_DEVICE_SEARCH_PARAMS without its size and radio fields (the
// record's own size, 32 bytes in a 32-bit process and 40 in a 64-bit one, and
// null: every radio).
struct DeviceSearchParams {
    bool returnAuthenticated;
    bool returnRemembered;
    bool returnUnknown;
    bool returnConnected;
    bool issueInquiry;
    uint8_t timeoutMultiplier; // units of 1.28 s
};

struct MicrosoftBluetoothApi {
    // BluetoothFindFirstRadio; on success *radio is the radio's handle.
    void *(*FindFirstRadio)(void **radio);
    void (*FindRadioClose)(void *find);
    // CloseHandle of a radio handle.
    void (*CloseRadio)(void *radio);
    // BluetoothFindFirstDevice; record is kDeviceInfoSize bytes with its size
    // field set.
    void *(*FindFirstDevice)(const DeviceSearchParams &params, uint8_t *record);
    bool (*FindNextDevice)(void *find, uint8_t *record);
    void (*FindDeviceClose)(void *find);
};

// The table in use; null where the API cannot be loaded (a missing
// irprops.cpl or function, or a system without it).
const MicrosoftBluetoothApi *MicrosoftBluetooth();

// Tests: use `api` instead (a table with a null function stands for a
// missing API). Null goes back to the platform's. Answers the override it
// replaces.
const MicrosoftBluetoothApi *SetMicrosoftBluetoothForTesting(const MicrosoftBluetoothApi *api);

namespace Platform {
// The platform layer's table, loaded on first use; null where the API is
// missing. Use MicrosoftBluetooth() instead.
const MicrosoftBluetoothApi *LoadMicrosoftBluetooth();
} // namespace Platform
