// The Linux Bluetooth stack, stack type 3: BlueZ over the system D-Bus for
// the search and the adapters' state, the kernel's RFCOMM sockets for the
// links. Only the POSIX build has it; elsewhere its probe answers no and it
// has no backend.
#pragma once

#include <cstdint>

struct StackBackend;

// Probe D: BlueZ answers on the system bus and has at least one powered
// adapter. Asked anew every time; quick (well under a second) when there is
// no system bus or no BlueZ on it.
bool IsBlueZStackUsable();

// The backend of stack type 3, or null where there is no BlueZ stack.
const StackBackend *BlueZStackBackend();

// Tests: the search's discovery window in milliseconds (0 restores the
// 6 x 1.28 s inquiry of the other stacks).
void SetBlueZDiscoveryMsForTesting(uint32_t milliseconds);
