#include "WidIShim.h"

#include "Platform.h"

#include <atomic>
#include <mutex>

namespace {

constexpr char kShimBaseName[] = "ZEL_WidI";
constexpr uint32_t kInquirySliceMs = 500;
constexpr uint32_t kServiceSearchMs = 4000;

// Every function of the shim with the ordinal it is exported at (on Windows
// by ordinal only; elsewhere by its name, "WidI_" and the function).
#define OSTREL_WIDI_FUNCTIONS(X)                                                                                       \
    X(1, OpenStack)                                                                                                    \
    X(2, CloseStack)                                                                                                   \
    X(3, StartInquiry)                                                                                                 \
    X(4, StopInquiry)                                                                                                  \
    X(5, StartServiceDiscovery)                                                                                        \
    X(6, GetDeviceCount)                                                                                               \
    X(7, GetDeviceRecord)                                                                                              \
    X(8, CreateConnection)                                                                                             \
    X(9, SetReceiveCallback)                                                                                           \
    X(10, DestroyConnection)                                                                                           \
    X(11, Connect)                                                                                                     \
    X(12, Disconnect)                                                                                                  \
    X(13, Write)                                                                                                       \
    X(14, ContinueDiscovery)                                                                                           \
    X(15, GetDiscoveredChannel)                                                                                        \
    X(16, SetConnectionTarget)                                                                                         \
    X(17, IsServiceFound)                                                                                              \
    X(18, SetEventCallback)

#define OSTREL_WIDI_COUNT(ordinal, function) +1
static_assert(sizeof(WidI::Api) == (0 OSTREL_WIDI_FUNCTIONS(OSTREL_WIDI_COUNT)) * sizeof(void (*)()),
              "every slot of the table has its ordinal");
#undef OSTREL_WIDI_COUNT

WidI::Api g_loaded{};
std::atomic<const WidI::Api *> g_shim{nullptr};     // the loaded library's table
std::atomic<const WidI::Api *> g_override{nullptr}; // tests
std::atomic<uint32_t> g_inquirySliceMs{kInquirySliceMs};
std::atomic<uint32_t> g_serviceSearchMs{kServiceSearchMs};

bool IsComplete(const WidI::Api &api) {
#define OSTREL_WIDI_PRESENT(ordinal, function) &&api.function != nullptr
    return true OSTREL_WIDI_FUNCTIONS(OSTREL_WIDI_PRESENT);
#undef OSTREL_WIDI_PRESENT
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
    if (!ResolveWidIShim(library, &Platform::FindLibraryFunction, api))
        return nullptr;
    // A shim without all of its functions is treated as no shim at all: no
    // half-working stack. The library stays loaded; it is never unloaded.
    g_loaded = api;
    g_shim.store(&g_loaded);
    return &g_loaded;
}

} // namespace

bool ResolveWidIShim(void *library, WidIFunctionFinder find, WidI::Api &api) {
#define OSTREL_WIDI_RESOLVE(ordinal, function)                                                                         \
    api.function = reinterpret_cast<decltype(api.function)>(find(library, ordinal, "WidI_" #function));
    OSTREL_WIDI_FUNCTIONS(OSTREL_WIDI_RESOLVE)
#undef OSTREL_WIDI_RESOLVE
    return IsComplete(api);
}

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
