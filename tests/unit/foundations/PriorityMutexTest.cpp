#include "PriorityMutex.h"
#include "FoundationsTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using foundations_test::HoldingThread;
using foundations_test::PriorityLevelRestorer;
using foundations_test::WaitUntil;

TEST(PriorityLevels, MapToPlatformPrioritiesAndBack) {
    const int expected[] = {-1, 0, 1, 2, 15};
    for (PriorityLevel level = 0; level <= 4; ++level) {
        EXPECT_EQ(expected[level], ThreadPriorityForLevel(level));
        EXPECT_EQ(level, LevelForThreadPriority(ThreadPriorityForLevel(level)));
    }
    EXPECT_EQ(0, LevelForThreadPriority(-15));
    EXPECT_EQ(0, LevelForThreadPriority(-2));
    EXPECT_EQ(3, LevelForThreadPriority(14));
    EXPECT_EQ(4, LevelForThreadPriority(31));
}

TEST(PriorityLevels, UnreadablePriorityCountsAsLowestLevel) {
    EXPECT_EQ(0, LevelForThreadPriority(Platform::kThreadPriorityErrorReturn));
}

TEST(PriorityLevels, EveryLevelCanBeSetAndReadBack) {
    PriorityLevelRestorer restore;
    for (PriorityLevel level = 0; level <= 4; ++level) {
        ASSERT_TRUE(SetCurrentPriorityLevel(level));
        EXPECT_EQ(level, GetCurrentPriorityLevel());
    }
}

class PriorityCeiling : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(nullptr, m_mutex->mutex); }
    void TearDown() override { DestroyPriorityMutex(m_mutex); }

    PriorityLevelRestorer m_restore;
    PriorityMutex *m_mutex = CreatePriorityMutex(L"", kPriorityLevelTimeCritical);
};

TEST_F(PriorityCeiling, HolderRunsAtTheCeilingAndGetsItsLevelBack) {
    ASSERT_TRUE(SetCurrentPriorityLevel(kPriorityLevelNormal));
    PriorityLevel saved = -1;
    ASSERT_TRUE(LockWithCeiling(m_mutex, &saved));
    EXPECT_EQ(kPriorityLevelNormal, saved);
    EXPECT_EQ(kPriorityLevelTimeCritical, GetCurrentPriorityLevel());
    EXPECT_TRUE(UnlockWithCeiling(m_mutex, saved));
    EXPECT_EQ(kPriorityLevelNormal, GetCurrentPriorityLevel());
}

TEST_F(PriorityCeiling, ThreadAboveTheCeilingIsNotLowered) {
    m_mutex->ceiling = kPriorityLevelHighest;
    ASSERT_TRUE(SetCurrentPriorityLevel(kPriorityLevelTimeCritical));
    PriorityLevel saved = -1;
    ASSERT_TRUE(LockWithCeiling(m_mutex, &saved));
    EXPECT_EQ(kPriorityLevelTimeCritical, saved);
    EXPECT_EQ(kPriorityLevelTimeCritical, GetCurrentPriorityLevel());
    EXPECT_TRUE(UnlockWithCeiling(m_mutex, saved));
    EXPECT_EQ(kPriorityLevelTimeCritical, GetCurrentPriorityLevel());
}

TEST_F(PriorityCeiling, UnlockRestoresTheSavedLevelWhateverHappenedMeanwhile) {
    ASSERT_TRUE(SetCurrentPriorityLevel(kPriorityLevelBelowNormal));
    PriorityLevel saved = -1;
    ASSERT_TRUE(LockWithCeiling(m_mutex, &saved));
    ASSERT_TRUE(SetCurrentPriorityLevel(kPriorityLevelAboveNormal));
    EXPECT_TRUE(UnlockWithCeiling(m_mutex, saved));
    EXPECT_EQ(kPriorityLevelBelowNormal, GetCurrentPriorityLevel());

    // Also for a thread that the lock did not raise.
    m_mutex->ceiling = kPriorityLevelHighest;
    ASSERT_TRUE(SetCurrentPriorityLevel(kPriorityLevelTimeCritical));
    ASSERT_TRUE(LockWithCeiling(m_mutex, &saved));
    ASSERT_TRUE(SetCurrentPriorityLevel(kPriorityLevelNormal));
    EXPECT_TRUE(UnlockWithCeiling(m_mutex, saved));
    EXPECT_EQ(kPriorityLevelTimeCritical, GetCurrentPriorityLevel());
}

TEST_F(PriorityCeiling, NestedLocksRestoreLevelsInsideOut) {
    ASSERT_TRUE(SetCurrentPriorityLevel(kPriorityLevelNormal));
    PriorityLevel outer = -1;
    PriorityLevel inner = -1;
    ASSERT_TRUE(LockWithCeiling(m_mutex, &outer));
    ASSERT_TRUE(LockWithCeiling(m_mutex, &inner));
    EXPECT_EQ(kPriorityLevelTimeCritical, inner);
    EXPECT_TRUE(UnlockWithCeiling(m_mutex, inner));
    EXPECT_EQ(kPriorityLevelTimeCritical, GetCurrentPriorityLevel());
    EXPECT_TRUE(UnlockWithCeiling(m_mutex, outer));
    EXPECT_EQ(kPriorityLevelNormal, GetCurrentPriorityLevel());
    // Balanced: a further release is refused by the kernel.
    EXPECT_FALSE(UnlockWithCeiling(m_mutex, outer));
}

TEST_F(PriorityCeiling, WrapperWithoutKernelMutexRefusesAtOnceAndKeepsThePriority) {
    ASSERT_TRUE(SetCurrentPriorityLevel(kPriorityLevelNormal));
    PriorityMutex broken{kPriorityLevelTimeCritical, nullptr};
    PriorityLevel saved = 77;
    EXPECT_FALSE(LockWithCeiling(&broken, &saved));
    EXPECT_EQ(77, saved);
    EXPECT_EQ(kPriorityLevelNormal, GetCurrentPriorityLevel());
    EXPECT_FALSE(UnlockWithCeiling(&broken, kPriorityLevelBelowNormal));
    EXPECT_EQ(kPriorityLevelNormal, GetCurrentPriorityLevel());
    EXPECT_FALSE(LockWithCeiling(nullptr, &saved));

    PriorityLock guard(&broken);
    EXPECT_FALSE(guard.Locked());
    DestroyPriorityMutex(nullptr);
}

TEST_F(PriorityCeiling, PriorityLockHoldsForItsScope) {
    ASSERT_TRUE(SetCurrentPriorityLevel(kPriorityLevelNormal));
    {
        PriorityLock guard(m_mutex);
        EXPECT_TRUE(guard.Locked());
        EXPECT_EQ(kPriorityLevelTimeCritical, GetCurrentPriorityLevel());
        EXPECT_TRUE(guard.Unlock());
        EXPECT_FALSE(guard.Locked());
        EXPECT_FALSE(guard.Unlock());
        EXPECT_EQ(kPriorityLevelNormal, GetCurrentPriorityLevel());
    }
    {
        PriorityLock guard(m_mutex);
        ASSERT_TRUE(guard.Locked());
    }
    EXPECT_EQ(kPriorityLevelNormal, GetCurrentPriorityLevel());
    // Fully released by the guards: a release now has nothing to release.
    EXPECT_FALSE(Platform::ReleaseMutex(m_mutex->mutex));
    PriorityLock none(nullptr);
    EXPECT_FALSE(none.Locked());
}

TEST(KernelObjectHelpers, SignalSemaphoreReleasesByOne) {
    Platform::Handle semaphore = Platform::CreateKernelSemaphore(0, 1);
    ASSERT_NE(nullptr, semaphore);
    EXPECT_EQ(Platform::WaitResult::TimedOut, Platform::WaitForSemaphore(semaphore, 0));
    EXPECT_TRUE(SignalSemaphore(semaphore));
    EXPECT_FALSE(SignalSemaphore(semaphore)); // past the maximum of 1
    EXPECT_EQ(Platform::WaitResult::Acquired, Platform::WaitForSemaphore(semaphore, 0));
    EXPECT_EQ(Platform::WaitResult::TimedOut, Platform::WaitForSemaphore(semaphore, 0));
    Platform::CloseHandle(semaphore);
}

// Holds a kernel mutex on its own thread; ends the thread without releasing
// it when asked to abandon it.
HoldingThread HoldMutex(Platform::Handle mutex, bool releaseWhenDone = true) {
    return HoldingThread([mutex] { return Platform::IsAcquired(Platform::WaitForMutex(mutex, Platform::kInfinite)); },
                         [mutex, releaseWhenDone] {
                             if (releaseWhenDone)
                                 Platform::ReleaseMutex(mutex);
                         });
}

bool OtherThreadCanTake(Platform::Handle mutex) {
    bool taken = false;
    std::thread([&] {
        taken = Platform::IsAcquired(Platform::WaitForMutex(mutex, 1));
        if (taken)
            Platform::ReleaseMutex(mutex);
    }).join();
    return taken;
}

TEST(PriorityMutexConcurrency, RefusedLockGivesUpAfterTheWaitWithTheLevelRestored) {
    PriorityLevelRestorer restore;
    PriorityMutex *mutex = CreatePriorityMutex(L"", kPriorityLevelTimeCritical);
    ASSERT_NE(nullptr, mutex->mutex);
    HoldingThread holder = HoldMutex(mutex->mutex);
    ASSERT_TRUE(holder.Taken());

    ASSERT_TRUE(SetCurrentPriorityLevel(kPriorityLevelNormal));
    PriorityLevel saved = -1;
    EXPECT_FALSE(LockWithCeiling(mutex, &saved));
    EXPECT_EQ(kPriorityLevelNormal, GetCurrentPriorityLevel());

    holder.LetGo();
    ASSERT_TRUE(LockWithCeiling(mutex, &saved));
    EXPECT_TRUE(UnlockWithCeiling(mutex, saved));
    DestroyPriorityMutex(mutex);
}

TEST(PriorityMutexConcurrency, ReenteredLockIsFreeOnlyAfterTheLastUnlock) {
    PriorityLevelRestorer restore;
    PriorityMutex *mutex = CreatePriorityMutex(nullptr, kPriorityLevelHighest);
    ASSERT_NE(nullptr, mutex->mutex);
    PriorityLevel outer = 0;
    PriorityLevel inner = 0;
    ASSERT_TRUE(LockWithCeiling(mutex, &outer));
    ASSERT_TRUE(LockWithCeiling(mutex, &inner));
    EXPECT_TRUE(UnlockWithCeiling(mutex, inner));
    EXPECT_FALSE(OtherThreadCanTake(mutex->mutex));
    EXPECT_TRUE(UnlockWithCeiling(mutex, outer));
    EXPECT_TRUE(OtherThreadCanTake(mutex->mutex));
    DestroyPriorityMutex(mutex);
}

TEST(PriorityMutexConcurrency, AbandonedMutexCountsAsAcquired) {
    PriorityLevelRestorer restore;
    PriorityMutex *mutex = CreatePriorityMutex(L"", kPriorityLevelHighest);
    ASSERT_NE(nullptr, mutex->mutex);
    {
        HoldingThread quitter = HoldMutex(mutex->mutex, false);
        ASSERT_TRUE(quitter.Taken());
    }
    PriorityLevel saved = 0;
    ASSERT_TRUE(LockWithCeiling(mutex, &saved));
    EXPECT_TRUE(UnlockWithCeiling(mutex, saved));
    DestroyPriorityMutex(mutex);
}

TEST(PriorityMutexConcurrency, SameNameIsOneMutexEmptyNameIsPrivate) {
    Platform::Handle named1 = CreateNamedMutex(L"OstrelFoundationsTestMutex");
    Platform::Handle named2 = CreateNamedMutex(L"OstrelFoundationsTestMutex");
    Platform::Handle unnamed1 = CreateNamedMutex(L"");
    Platform::Handle unnamed2 = CreateNamedMutex(L"");
    ASSERT_TRUE(named1 && named2 && unnamed1 && unnamed2);
    {
        HoldingThread holder = HoldMutex(named1);
        ASSERT_TRUE(holder.Taken());
        EXPECT_FALSE(OtherThreadCanTake(named2));
    }
    {
        HoldingThread holder = HoldMutex(unnamed1);
        ASSERT_TRUE(holder.Taken());
        EXPECT_TRUE(OtherThreadCanTake(unnamed2));
    }
    for (Platform::Handle handle : {named1, named2, unnamed1, unnamed2})
        Platform::CloseHandle(handle);
}

} // namespace
