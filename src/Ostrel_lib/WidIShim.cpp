#include "WidIShim.h"

#include "Platform.h"

#include <atomic>
#include <mutex>

namespace {

constexpr char kShimBaseName[] = "ZEL_WidI";
constexpr uint32_t kInquirySliceMs = 500;
constexpr uint32_t kServiceSearchMs = 4000;

// Names for the platforms that look functions up by name; the index is the
// ordinal minus one.
constexpr const char *kFunctionNames[] = {
    "WidI_OpenStack",
    "WidI_CloseStack",
    "WidI_StartInquiry",
    "WidI_StopInquiry",
    "WidI_StartServiceDiscovery",
    "WidI_GetDeviceCount",
    "WidI_GetDeviceRecord",
    "WidI_CreateConnection",
    "WidI_SetReceiveCallback",
    "WidI_DestroyConnection",
    "WidI_Connect",
    "WidI_Disconnect",
    "WidI_Write",
    "WidI_ContinueDiscovery",
    "WidI_GetDiscoveredChannel",
    "WidI_SetConnectionTarget",
    "WidI_IsServiceFound",
    "WidI_SetEventCallback",
};
constexpr int kFunctionCount = sizeof kFunctionNames / sizeof kFunctionNames[0];
static_assert(sizeof(WidI::Api) == kFunctionCount * sizeof(void (*)()), "one table slot per function");

WidI::Api g_loaded{};
std::atomic<const WidI::Api *> g_shim{nullptr};     // the loaded library's table
std::atomic<const WidI::Api *> g_override{nullptr}; // tests
std::atomic<uint32_t> g_inquirySliceMs{kInquirySliceMs};
std::atomic<uint32_t> g_serviceSearchMs{kServiceSearchMs};

bool IsComplete(const WidI::Api &api) {
    return api.OpenStack && api.CloseStack && api.StartInquiry && api.StopInquiry && api.StartServiceDiscovery &&
           api.GetDeviceCount && api.GetDeviceRecord && api.CreateConnection && api.SetReceiveCallback &&
           api.DestroyConnection && api.Connect && api.Disconnect && api.Write && api.ContinueDiscovery &&
           api.GetDiscoveredChannel && api.SetConnectionTarget && api.IsServiceFound && api.SetEventCallback;
}

// Fills the table slot by slot, in ordinal order.
template <typename Function> void Resolve(void *library, int &ordinal, Function &slot) {
    slot = reinterpret_cast<Function>(Platform::FindLibraryFunction(library, ordinal, kFunctionNames[ordinal - 1]));
    ++ordinal;
}

const WidI::Api *LoadShim() {
    static std::mutex loading;
    std::lock_guard<std::mutex> lock(loading);
    if (const WidI::Api *shim = g_shim.load())
        return shim;
    void *library = Platform::LoadSharedLibrary(kShimBaseName);
    if (library == nullptr)
        return nullptr;
    WidI::Api api{};
    int ordinal = 1;
    Resolve(library, ordinal, api.OpenStack);
    Resolve(library, ordinal, api.CloseStack);
    Resolve(library, ordinal, api.StartInquiry);
    Resolve(library, ordinal, api.StopInquiry);
    Resolve(library, ordinal, api.StartServiceDiscovery);
    Resolve(library, ordinal, api.GetDeviceCount);
    Resolve(library, ordinal, api.GetDeviceRecord);
    Resolve(library, ordinal, api.CreateConnection);
    Resolve(library, ordinal, api.SetReceiveCallback);
    Resolve(library, ordinal, api.DestroyConnection);
    Resolve(library, ordinal, api.Connect);
    Resolve(library, ordinal, api.Disconnect);
    Resolve(library, ordinal, api.Write);
    Resolve(library, ordinal, api.ContinueDiscovery);
    Resolve(library, ordinal, api.GetDiscoveredChannel);
    Resolve(library, ordinal, api.SetConnectionTarget);
    Resolve(library, ordinal, api.IsServiceFound);
    Resolve(library, ordinal, api.SetEventCallback);
    // A shim without all of its functions is treated as no shim at all: no
    // half-working stack. The library stays loaded; it is never unloaded.
    if (!IsComplete(api))
        return nullptr;
    g_loaded = api;
    g_shim.store(&g_loaded);
    return &g_loaded;
}

} // namespace

const WidI::Api *WidIShim() {
    if (const WidI::Api *api = g_override.load())
        return IsComplete(*api) ? api : nullptr;
    if (const WidI::Api *shim = g_shim.load())
        return shim;
    return LoadShim();
}

const WidI::Api *SetWidIShimForTesting(const WidI::Api *api) {
    return g_override.exchange(api);
}

uint32_t WidcommInquirySliceMs() {
    return g_inquirySliceMs.load();
}

uint32_t WidcommServiceSearchMs() {
    return g_serviceSearchMs.load();
}

void SetWidcommWaitsForTesting(uint32_t inquirySliceMs, uint32_t serviceSearchMs) {
    g_inquirySliceMs.store(inquirySliceMs != 0 ? inquirySliceMs : kInquirySliceMs);
    g_serviceSearchMs.store(serviceSearchMs != 0 ? serviceSearchMs : kServiceSearchMs);
}
