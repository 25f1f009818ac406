// Thread priority levels, the priority-ceiling mutex that guards the rings
// and a source's bookkeeping, and two one-line kernel-object helpers.
#pragma once

#include "Platform.h"

#include <cstdint>

// A five-step priority scale; only the order of the steps matters to callers.
using PriorityLevel = int32_t;

constexpr PriorityLevel kPriorityLevelBelowNormal = 0;
constexpr PriorityLevel kPriorityLevelNormal = 1;
constexpr PriorityLevel kPriorityLevelAboveNormal = 2;
constexpr PriorityLevel kPriorityLevelHighest = 3;
constexpr PriorityLevel kPriorityLevelTimeCritical = 4;

// The platform thread priority set for a level (levels outside 0..4 are
// clamped), and the level a platform priority reads back as.
int ThreadPriorityForLevel(PriorityLevel level);
PriorityLevel LevelForThreadPriority(int threadPriority);

PriorityLevel GetCurrentPriorityLevel();
// True when the platform accepted the change.
bool SetCurrentPriorityLevel(PriorityLevel level);

// A re-entrant kernel mutex whose holder runs at least at `ceiling` while it
// holds it. `mutex` is null when the kernel object could not be created; such
// a wrapper refuses every lock and unlock.
struct PriorityMutex {
    PriorityLevel ceiling;
    Platform::Handle mutex;
};

// Null or empty name: a mutex private to the wrapper. Returns null only when
// the wrapper itself cannot be allocated.
PriorityMutex *CreatePriorityMutex(const wchar_t *name, PriorityLevel ceiling);
// Closes the kernel mutex and frees the wrapper; null is ignored.
void DestroyPriorityMutex(PriorityMutex *mutex);

// Waits at most 2000 ms. On success the caller runs at least at the ceiling
// and must call UnlockWithCeiling once with the level stored in *savedLevel.
bool LockWithCeiling(PriorityMutex *mutex, PriorityLevel *savedLevel);
// Releases the mutex and puts the caller back to savedLevel.
bool UnlockWithCeiling(PriorityMutex *mutex, PriorityLevel savedLevel);

// Holds a PriorityMutex for its own lifetime. A null mutex is never locked.
class PriorityLock {
  public:
    explicit PriorityLock(PriorityMutex *mutex);
    ~PriorityLock();
    PriorityLock(const PriorityLock &) = delete;
    PriorityLock &operator=(const PriorityLock &) = delete;

    bool Locked() const { return m_locked; }
    // Releases early; false when nothing was held or the release failed.
    bool Unlock();

  private:
    PriorityMutex *m_mutex;
    PriorityLevel m_savedLevel = kPriorityLevelNormal;
    bool m_locked = false;
};

// A kernel mutex, not initially owned; null or empty name gives an unnamed one.
Platform::Handle CreateNamedMutex(const wchar_t *name);
// Releases the semaphore by one; true when the platform reports success.
bool SignalSemaphore(Platform::Handle semaphore);
