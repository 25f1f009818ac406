#include "StackBackend.h"

#include "BluetoothStacks.h"

#include <mutex>

namespace {

// Two real stacks, the simulated one and room for a test's own.
constexpr int kMaxBackends = 8;

struct Registration {
    int32_t stackType;
    const StackBackend *backend; // null: free slot
};

// Registration happens from set-up code, lookups from any host thread.
std::mutex &TableLock() {
    static std::mutex lock;
    return lock;
}

Registration g_table[kMaxBackends] = {};

Registration *FindSlotLocked(int32_t stackType) {
    for (Registration &slot : g_table)
        if (slot.backend != nullptr && slot.stackType == stackType)
            return &slot;
    return nullptr;
}

Registration *FreeSlotLocked() {
    for (Registration &slot : g_table)
        if (slot.backend == nullptr)
            return &slot;
    return nullptr;
}

} // namespace

bool RegisterStackBackend(int32_t stackType, const StackBackend *backend) {
    std::lock_guard<std::mutex> lock(TableLock());
    Registration *slot = FindSlotLocked(stackType);
    if (backend == nullptr) {
        if (slot != nullptr)
            *slot = Registration{0, nullptr};
        return true;
    }
    if (slot == nullptr)
        slot = FreeSlotLocked();
    if (slot == nullptr)
        return false;
    *slot = Registration{stackType, backend};
    return true;
}

const StackBackend *FindStackBackend(int32_t stackType) {
    std::lock_guard<std::mutex> lock(TableLock());
    const Registration *slot = FindSlotLocked(stackType);
    return slot != nullptr ? slot->backend : BuiltInStackBackend(stackType);
}

void EnumeratePorts(std::vector<GPortRef> &ports) {
    ports.clear();
    const StackBackend *backend = FindStackBackend(BluetoothStackType.load());
    if (backend != nullptr && backend->enumeratePorts != nullptr)
        backend->enumeratePorts(ports);
}
