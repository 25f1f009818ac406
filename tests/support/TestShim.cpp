#include "TestShim.h"

#include "SimWidI.h"

const WidI::Api &SimulatedShim() {
    static const WidI::Api table = {
        &WidI_OpenStack,
        &WidI_CloseStack,
        &WidI_StartInquiry,
        &WidI_StopInquiry,
        &WidI_StartServiceDiscovery,
        &WidI_GetDeviceCount,
        &WidI_GetDeviceRecord,
        &WidI_CreateConnection,
        &WidI_SetReceiveCallback,
        &WidI_DestroyConnection,
        &WidI_Connect,
        &WidI_Disconnect,
        &WidI_Write,
        &WidI_ContinueDiscovery,
        &WidI_GetDiscoveredChannel,
        &WidI_SetConnectionTarget,
        &WidI_IsServiceFound,
        &WidI_SetEventCallback,
    };
    return table;
}

namespace {
// No units until a test gives the shim some: a search of the process's own
// stack must not reach units that other test processes may be using.
const bool g_installed = [] {
    sim::SimWidI::SetUnits({});
    SetWidIShimForTesting(&SimulatedShim());
    return true;
}();
} // namespace
