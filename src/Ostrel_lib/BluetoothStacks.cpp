#include "BluetoothStacks.h"

std::atomic<int32_t> BluetoothStackType{kStackNone};

// Until the stacks can be asked, the probes answer as a machine with the
// Microsoft stack and a radio would.
bool IsMicrosoftStackUsable() { return true; }
bool IsWidcommStackUsable() { return false; }
bool IsMicrosoftInterfacePresent() { return true; }

int32_t ChooseBluetoothStack() {
    if (IsMicrosoftStackUsable())
        return kStackMicrosoft;
    if (IsWidcommStackUsable())
        return kStackWidcomm;
    if (IsMicrosoftInterfacePresent())
        return kStackMicrosoft;
    return kStackNone;
}
