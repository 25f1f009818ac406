// Which Bluetooth stack the library talks to, and the probes that choose it.
#pragma once

#include <atomic>
#include <cstdint>

// Process-wide: 1 the Microsoft stack, 2 the Widcomm stack, 0 none chosen yet.
// Ostrel_Init sets it; Ostrel_Uninit leaves it.
extern std::atomic<int32_t> BluetoothStackType;

constexpr int32_t kStackNone = 0;
constexpr int32_t kStackMicrosoft = 1;
constexpr int32_t kStackWidcomm = 2;

// Probe A: the Microsoft Bluetooth interface is there and finds a radio.
bool IsMicrosoftStackUsable();
// Probe B: the Widcomm stack answers through its shim library.
bool IsWidcommStackUsable();
// Probe C: the Microsoft Bluetooth interface is there, radio or not.
bool IsMicrosoftInterfacePresent();

// The first usable stack in the order A, B, C, or kStackNone.
int32_t ChooseBluetoothStack();
