// Windows has no BlueZ stack.
#include "BlueZStack.h"

bool IsBlueZStackUsable() {
    return false;
}

const StackBackend *BlueZStackBackend() {
    return nullptr;
}

void SetBlueZDiscoveryMsForTesting(uint32_t) {}
