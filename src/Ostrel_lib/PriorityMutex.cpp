#include "PriorityMutex.h"

#include <new>

namespace {

constexpr uint32_t kCeilingWaitMs = 2000;

// Indexed by PriorityLevel.
constexpr int kThreadPriorityOfLevel[] = {
    Platform::kThreadPriorityBelowNormal, Platform::kThreadPriorityNormal,       Platform::kThreadPriorityAboveNormal,
    Platform::kThreadPriorityHighest,     Platform::kThreadPriorityTimeCritical,
};
constexpr PriorityLevel kLevelCount = sizeof(kThreadPriorityOfLevel) / sizeof(kThreadPriorityOfLevel[0]);

// Reading back: the first row whose lowest priority the value reaches. Anything
// below every row (negative priorities) is level 0.
struct ReadBackRow {
    int lowestPriority;
    PriorityLevel level;
};
constexpr ReadBackRow kLevelOfThreadPriority[] = {
    {Platform::kThreadPriorityTimeCritical, kPriorityLevelTimeCritical},
    {Platform::kThreadPriorityHighest, kPriorityLevelHighest},
    {Platform::kThreadPriorityAboveNormal, kPriorityLevelAboveNormal},
    {Platform::kThreadPriorityNormal, kPriorityLevelNormal},
};

} // namespace

int ThreadPriorityForLevel(PriorityLevel level) {
    if (level < 0)
        level = 0;
    if (level >= kLevelCount)
        level = kLevelCount - 1;
    return kThreadPriorityOfLevel[level];
}

PriorityLevel LevelForThreadPriority(int threadPriority) {
    // A thread whose priority cannot be read is treated as the lowest, so that
    // a ceiling always raises it.
    if (threadPriority == Platform::kThreadPriorityErrorReturn)
        return kPriorityLevelBelowNormal;
    for (const ReadBackRow &row : kLevelOfThreadPriority)
        if (threadPriority >= row.lowestPriority)
            return row.level;
    return kPriorityLevelBelowNormal;
}

PriorityLevel GetCurrentPriorityLevel() {
    return LevelForThreadPriority(Platform::GetCurrentThreadPriority());
}

bool SetCurrentPriorityLevel(PriorityLevel level) {
    return Platform::SetCurrentThreadPriority(ThreadPriorityForLevel(level));
}

PriorityMutex *CreatePriorityMutex(const wchar_t *name, PriorityLevel ceiling) {
    auto *created = new (std::nothrow) PriorityMutex{ceiling, nullptr};
    if (created != nullptr)
        created->mutex = CreateNamedMutex(name);
    return created;
}

void DestroyPriorityMutex(PriorityMutex *mutex) {
    if (mutex == nullptr)
        return;
    if (mutex->mutex != nullptr)
        Platform::CloseHandle(mutex->mutex);
    delete mutex;
}

bool LockWithCeiling(PriorityMutex *mutex, PriorityLevel *savedLevel) {
    if (mutex == nullptr || mutex->mutex == nullptr)
        return false;
    const PriorityLevel saved = GetCurrentPriorityLevel();
    if (savedLevel != nullptr)
        *savedLevel = saved;
    const bool raise = saved < mutex->ceiling;
    // Raised before the wait, so that the holder cannot be overtaken by
    // threads between our level and the ceiling once it is granted.
    if (raise)
        SetCurrentPriorityLevel(mutex->ceiling);
    if (Platform::IsAcquired(Platform::WaitForMutex(mutex->mutex, kCeilingWaitMs)))
        return true;
    if (raise)
        SetCurrentPriorityLevel(saved);
    return false;
}

bool UnlockWithCeiling(PriorityMutex *mutex, PriorityLevel savedLevel) {
    if (mutex == nullptr || mutex->mutex == nullptr)
        return false;
    const bool released = Platform::ReleaseMutex(mutex->mutex);
    // Whoever changed the level while the mutex was held, the caller gets back
    // the level it had before the lock.
    if (GetCurrentPriorityLevel() != savedLevel)
        SetCurrentPriorityLevel(savedLevel);
    return released;
}

PriorityLock::PriorityLock(PriorityMutex *mutex) : m_mutex(mutex) {
    if (m_mutex != nullptr)
        m_locked = LockWithCeiling(m_mutex, &m_savedLevel);
}

PriorityLock::~PriorityLock() {
    Unlock();
}

bool PriorityLock::Unlock() {
    if (!m_locked)
        return false;
    m_locked = false;
    return UnlockWithCeiling(m_mutex, m_savedLevel);
}

Platform::Handle CreateNamedMutex(const wchar_t *name) {
    if (name != nullptr && *name == L'\0')
        name = nullptr;
    return Platform::CreateKernelMutex(name);
}

bool SignalSemaphore(Platform::Handle semaphore) {
    return Platform::ReleaseSemaphore(semaphore, 1);
}
