// The Microsoft Bluetooth API exists only on Windows.
#include "MicrosoftBluetoothApi.h"

const MicrosoftBluetoothApi *Platform::LoadMicrosoftBluetooth() {
    return nullptr;
}
