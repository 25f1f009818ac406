// Which Bluetooth stack the library talks to, the probes that choose it, and
// the search for units on the chosen stack.
#pragma once

#include "GPortRef.h"
#include "Platform.h"
#include "WidIShim.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

struct StackBackend;

// Process-wide: 1 the Microsoft stack, 2 the Widcomm stack, 3 BlueZ (Linux),
// 0 none chosen yet.
// Ostrel_Init sets it; Ostrel_Uninit leaves it.
extern std::atomic<int32_t> BluetoothStackType;

constexpr int32_t kStackNone = 0;
constexpr int32_t kStackMicrosoft = 1;
constexpr int32_t kStackWidcomm = 2;
constexpr int32_t kStackBlueZ = 3;

// Every unit's Bluetooth name starts with this.
constexpr wchar_t kUnitNamePrefix[] = L"QuorvelKTRX";

// Probe A: the Microsoft Bluetooth interface is there and finds a radio.
// A yes is remembered for the life of the process.
bool IsMicrosoftStackUsable();
// Probe B: the Widcomm stack answers through its shim library. Asked anew
// every time.
bool IsWidcommStackUsable();
// Probe C: the Microsoft Bluetooth interface is there, radio or not. A yes is
// remembered.
bool IsMicrosoftInterfacePresent();
// The version rule of probe C: the NT family from XP with service pack 2 on.
bool HasMicrosoftBluetoothInterface(const Platform::OsVersion &version);

// The first usable stack in the order A, B, C, D (BlueZ, IsBlueZStackUsable),
// or kStackNone. Windows never has D; Linux never has A or C.
int32_t ChooseBluetoothStack();

// The pieces of a search result, shared by both stacks.
bool IsUnitName(const std::wstring &name);
// Bytes most significant first: "0016a4012345".
std::wstring AddressText(const uint8_t (&bytesMostSignificantFirst)[6]);
// The port reference of a unit found under `name`, carrying `record`.
GPortRef UnitPort(const std::wstring &name, const std::wstring &location, const uint8_t *record, int32_t recordLength);

// The searches behind EnumeratePorts (about 7.7 s and 15 s): each empties
// `ports` when it runs and adds every unit found.
void SearchMicrosoftStack(std::vector<GPortRef> &ports);
void SearchWidcommStack(std::vector<GPortRef> &ports);
// The Widcomm search after its inquiry: empties `ports` and adds the units
// among the shim's device records. Apart from the inquiry's fixed wait, so
// that the records can be driven alone.
void ListWidcommUnits(const WidI::Api &shim, WidI::Stack stack, std::vector<GPortRef> &ports);

// The backend of stacks 1, 2 and 3 (where there is one), or null.
const StackBackend *BuiltInStackBackend(int32_t stackType);
