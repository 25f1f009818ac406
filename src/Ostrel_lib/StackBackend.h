// The seam between the library and a Bluetooth stack: for a stack type, the
// search for units and the creation of a device's stack implementation.
// Types 1 (Microsoft), 2 (Widcomm) and 3 (BlueZ, Linux only) are the real
// stacks, built in; tests may register a backend of their own in place of one.
// kStackSimulated is registered only by test and demo code and never chosen by
// Ostrel_Init.
#pragma once

#include "GPortRef.h"

#include <cstdint>
#include <vector>

class GBluetoothDevice;
class IBTDevice;

constexpr int32_t kStackSimulated = 0x5A;

struct StackBackend {
    // Fills ports with one port reference per unit found (empties it first).
    void (*enumeratePorts)(std::vector<GPortRef> &ports);
    // A new stack implementation for owner, or null.
    IBTDevice *(*createDevice)(GBluetoothDevice *owner);
};

// Registers (or, with null, removes) the backend of a stack type, replacing
// any earlier one. The backend must outlive its registration. False when the
// table is full.
bool RegisterStackBackend(int32_t stackType, const StackBackend *backend);
// The backend registered for a stack type, else the library's own for
// stacks 1 and 2, else null.
const StackBackend *FindStackBackend(int32_t stackType);

// Searches the stack named by BluetoothStackType; an empty list when nothing
// is found or the search cannot run.
void EnumeratePorts(std::vector<GPortRef> &ports);
