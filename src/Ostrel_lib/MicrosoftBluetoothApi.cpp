#include "MicrosoftBluetoothApi.h"

#include <atomic>

namespace {

std::atomic<const MicrosoftBluetoothApi *> g_override{nullptr};

bool IsComplete(const MicrosoftBluetoothApi &api) {
    return api.FindFirstRadio && api.FindRadioClose && api.CloseRadio && api.FindFirstDevice && api.FindNextDevice &&
           api.FindDeviceClose;
}

} // namespace

const MicrosoftBluetoothApi *MicrosoftBluetooth() {
    const MicrosoftBluetoothApi *api = g_override.load();
    if (api == nullptr)
        api = Platform::LoadMicrosoftBluetooth();
    return api != nullptr && IsComplete(*api) ? api : nullptr;
}

const MicrosoftBluetoothApi *SetMicrosoftBluetoothForTesting(const MicrosoftBluetoothApi *api) {
    return g_override.exchange(api);
}
