#include "RfcommSocket.h"

#include <atomic>

namespace {
std::atomic<const RfcommSocketApi *> g_testingApi{nullptr};
}

const RfcommSocketApi &RfcommSockets() {
    const RfcommSocketApi *api = g_testingApi.load();
    return api != nullptr ? *api : PlatformRfcommSockets();
}

void SetRfcommSocketsForTesting(const RfcommSocketApi *api) {
    g_testingApi.store(api);
}
