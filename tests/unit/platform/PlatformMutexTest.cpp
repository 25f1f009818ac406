// Kernel mutexes within one process: ownership, recursion, abandonment by a
// thread, time-outs, and what a name shares.
#include "Platform.h"
#include "PlatformTestSupport.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using Platform::WaitResult;
using PlatformTest::ElapsedMs;
using PlatformTest::OnOtherThread;
using PlatformTest::UniqueName;

namespace {

// Every case runs on an unnamed and on a named mutex: the two are built
// differently underneath but promise the same behaviour.
class PlatformMutexConcurrencyTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        m_mutex = Platform::CreateKernelMutex(GetParam() ? m_name.Wide() : nullptr);
        ASSERT_NE(m_mutex, nullptr);
    }
    void TearDown() override { Platform::CloseHandle(m_mutex); }

    WaitResult TryOnOtherThread(uint32_t timeoutMs) {
        return OnOtherThread([&] {
            WaitResult r = Platform::WaitForMutex(m_mutex, timeoutMs);
            if (Platform::IsAcquired(r))
                Platform::ReleaseMutex(m_mutex);
            return r;
        });
    }

    UniqueName m_name{L"mutex"};
    Platform::Handle m_mutex = nullptr;
};

TEST_P(PlatformMutexConcurrencyTest, OwnerReentersAndNeedsOneReleasePerWait) {
    EXPECT_EQ(Platform::WaitForMutex(m_mutex, 1), WaitResult::Acquired);
    EXPECT_EQ(Platform::WaitForMutex(m_mutex, 1), WaitResult::Acquired);
    EXPECT_TRUE(Platform::ReleaseMutex(m_mutex));
    // Still held once: another thread is refused.
    EXPECT_EQ(TryOnOtherThread(1), WaitResult::TimedOut);
    EXPECT_TRUE(Platform::ReleaseMutex(m_mutex));
    EXPECT_FALSE(Platform::ReleaseMutex(m_mutex));
    EXPECT_EQ(TryOnOtherThread(1), WaitResult::Acquired);
}

TEST_P(PlatformMutexConcurrencyTest, OtherThreadIsRefusedUntilTheOwnerReleases) {
    ASSERT_EQ(Platform::WaitForMutex(m_mutex, Platform::kInfinite), WaitResult::Acquired);
    EXPECT_EQ(TryOnOtherThread(0), WaitResult::TimedOut);
    EXPECT_EQ(TryOnOtherThread(1), WaitResult::TimedOut);
    // A thread that does not own it cannot release it for the owner.
    EXPECT_FALSE(OnOtherThread([&] { return Platform::ReleaseMutex(m_mutex); }));
    EXPECT_EQ(TryOnOtherThread(1), WaitResult::TimedOut);
    EXPECT_TRUE(Platform::ReleaseMutex(m_mutex));
    EXPECT_EQ(TryOnOtherThread(1), WaitResult::Acquired);
}

TEST_P(PlatformMutexConcurrencyTest, TimedWaitLastsAboutItsTimeOut) {
    ASSERT_EQ(Platform::WaitForMutex(m_mutex, 1), WaitResult::Acquired);
    WaitResult result = WaitResult::Failed;
    uint32_t elapsed = OnOtherThread([&] { return ElapsedMs([&] { result = Platform::WaitForMutex(m_mutex, 500); }); });
    EXPECT_EQ(result, WaitResult::TimedOut);
    EXPECT_GE(elapsed, 450u); // tick granularity on Windows is about 16 ms
    EXPECT_LT(elapsed, 30000u);
    EXPECT_TRUE(Platform::ReleaseMutex(m_mutex));
}

TEST_P(PlatformMutexConcurrencyTest, ThreadEndingWhileHoldingAbandonsIt) {
    ASSERT_EQ(TryOnOtherThread(1), WaitResult::Acquired); // held and released: not abandoned
    WaitResult heldTwice = OnOtherThread([&] {
        Platform::WaitForMutex(m_mutex, 1);
        return Platform::WaitForMutex(m_mutex, 1); // and ends without releasing
    });
    ASSERT_EQ(heldTwice, WaitResult::Acquired);

    EXPECT_EQ(Platform::WaitForMutex(m_mutex, 1000), WaitResult::Abandoned);
    // The waiter owns it now, once, whatever the dead owner's count was.
    EXPECT_EQ(TryOnOtherThread(1), WaitResult::TimedOut);
    EXPECT_TRUE(Platform::ReleaseMutex(m_mutex));
    EXPECT_FALSE(Platform::ReleaseMutex(m_mutex));
    // Abandonment is reported once; the mutex works normally afterwards.
    EXPECT_EQ(TryOnOtherThread(1), WaitResult::Acquired);
    EXPECT_EQ(Platform::WaitForMutex(m_mutex, 1), WaitResult::Acquired);
    EXPECT_TRUE(Platform::ReleaseMutex(m_mutex));
}

TEST_P(PlatformMutexConcurrencyTest, WaiterBlockedOnTheOwnerGetsItOnRelease) {
    ASSERT_EQ(Platform::WaitForMutex(m_mutex, 1), WaitResult::Acquired);
    Platform::Handle started = Platform::CreateKernelSemaphore(0, 1);
    ASSERT_NE(started, nullptr);
    WaitResult result = WaitResult::Failed;
    std::thread waiter([&] {
        Platform::ReleaseSemaphore(started, 1);
        result = Platform::WaitForMutex(m_mutex, 60000);
        if (Platform::IsAcquired(result))
            Platform::ReleaseMutex(m_mutex);
    });
    EXPECT_EQ(Platform::WaitForSemaphore(started, 60000), WaitResult::Acquired);
    Platform::Sleep(20);
    EXPECT_TRUE(Platform::ReleaseMutex(m_mutex));
    waiter.join();
    EXPECT_EQ(result, WaitResult::Acquired);
    Platform::CloseHandle(started);
}

INSTANTIATE_TEST_SUITE_P(NamedAndUnnamed, PlatformMutexConcurrencyTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) { return info.param ? "Named" : "Unnamed"; });

TEST(PlatformMutexNameTest, HandlesOfOneNameAreOneMutex) {
    UniqueName name(L"shared");
    Platform::Handle first = Platform::CreateKernelMutex(name.Wide());
    Platform::Handle second = Platform::CreateKernelMutex(name.Wide());
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);

    ASSERT_EQ(Platform::WaitForMutex(first, 1), WaitResult::Acquired);
    EXPECT_EQ(OnOtherThread([&] { return Platform::WaitForMutex(second, 1); }), WaitResult::TimedOut);
    // Re-entered through the other handle, and released through either.
    EXPECT_EQ(Platform::WaitForMutex(second, 1), WaitResult::Acquired);
    EXPECT_TRUE(Platform::ReleaseMutex(second));
    EXPECT_TRUE(Platform::ReleaseMutex(second));
    EXPECT_FALSE(Platform::ReleaseMutex(first));

    // Closing one handle leaves the object to the other.
    Platform::CloseHandle(first);
    ASSERT_EQ(Platform::WaitForMutex(second, 1), WaitResult::Acquired);
    EXPECT_EQ(OnOtherThread([&] {
                  Platform::Handle third = Platform::CreateKernelMutex(name.Wide());
                  WaitResult r = Platform::WaitForMutex(third, 1);
                  Platform::CloseHandle(third);
                  return r;
              }),
              WaitResult::TimedOut);
    EXPECT_TRUE(Platform::ReleaseMutex(second));
    Platform::CloseHandle(second);
}

// A thread that takes the mutex through its own handle, closes that handle
// while holding it and ends.
WaitResult HoldCloseAndEnd(const UniqueName &name) {
    return OnOtherThread([&] {
        Platform::Handle own = Platform::CreateKernelMutex(name.Wide());
        WaitResult r = Platform::WaitForMutex(own, 1);
        Platform::CloseHandle(own);
        return r;
    });
}

TEST(PlatformMutexNameTest, HolderClosingItsHandleAndEndingLeavesAUsableMutex) {
    UniqueName name(L"closed");
    Platform::Handle other = Platform::CreateKernelMutex(name.Wide());
    ASSERT_EQ(HoldCloseAndEnd(name), WaitResult::Acquired);
    // The object lives on in the other handle, abandoned.
    EXPECT_EQ(Platform::WaitForMutex(other, 1000), WaitResult::Abandoned);
    EXPECT_TRUE(Platform::ReleaseMutex(other));
    Platform::CloseHandle(other);

    // Now it was the last handle: the object went with it, so the name gives
    // a fresh mutex, not one abandoned or locked for good.
    ASSERT_EQ(HoldCloseAndEnd(name), WaitResult::Acquired);
    Platform::Handle again = Platform::CreateKernelMutex(name.Wide());
    EXPECT_EQ(Platform::WaitForMutex(again, 1000), WaitResult::Acquired);
    EXPECT_TRUE(Platform::ReleaseMutex(again));
    Platform::CloseHandle(again);
}

// The same while the owner lives on: the object goes with the last handle,
// whether the owner closes it or another thread does, and the name gives a
// fresh mutex at once. The owner's later end abandons nothing of it.
TEST(PlatformMutexNameTest, LastHandleClosedWhileHeldTakesTheMutexAlong) {
    for (bool ownerCloses : {true, false}) {
        UniqueName name(L"lasthandle");
        Platform::Handle handle = Platform::CreateKernelMutex(name.Wide());
        Platform::Handle held = Platform::CreateKernelSemaphore(0, 1);
        Platform::Handle finish = Platform::CreateKernelSemaphore(0, 1);
        ASSERT_NE(handle, nullptr);
        std::thread owner([&] {
            Platform::WaitForMutex(handle, 1);
            Platform::WaitForMutex(handle, 1);
            if (ownerCloses)
                Platform::CloseHandle(handle);
            Platform::ReleaseSemaphore(held, 1);
            Platform::WaitForSemaphore(finish, 60000);
        });
        ASSERT_EQ(Platform::WaitForSemaphore(held, 60000), WaitResult::Acquired);
        if (!ownerCloses)
            Platform::CloseHandle(handle);

        Platform::Handle fresh = Platform::CreateKernelMutex(name.Wide());
        EXPECT_EQ(Platform::WaitForMutex(fresh, 1), WaitResult::Acquired) << ownerCloses;
        EXPECT_EQ(OnOtherThread([&] { return Platform::WaitForMutex(fresh, 1); }), WaitResult::TimedOut);
        EXPECT_TRUE(Platform::ReleaseMutex(fresh));
        EXPECT_FALSE(Platform::ReleaseMutex(fresh));
        Platform::ReleaseSemaphore(finish, 1);
        owner.join();
        EXPECT_EQ(Platform::WaitForMutex(fresh, 1), WaitResult::Acquired);
        EXPECT_TRUE(Platform::ReleaseMutex(fresh));
        Platform::CloseHandle(fresh);
        Platform::CloseHandle(held);
        Platform::CloseHandle(finish);
    }
}

TEST(PlatformMutexNameTest, UnnamedAndDifferentlyNamedMutexesAreSeparate) {
    // Names that differ only in characters a platform might have to escape.
    UniqueName names[] = {UniqueName(L"a_b"), UniqueName(L"a/b"), UniqueName(L"a%2Fb"), UniqueName(L"a b"),
                          UniqueName(L"a\u00fc")};
    std::vector<Platform::Handle> mutexes{Platform::CreateKernelMutex(nullptr), Platform::CreateKernelMutex(L"")};
    for (const UniqueName &name : names)
        mutexes.push_back(Platform::CreateKernelMutex(name.Wide()));
    for (Platform::Handle m : mutexes) {
        ASSERT_NE(m, nullptr);
        ASSERT_EQ(Platform::WaitForMutex(m, 1), WaitResult::Acquired);
    }
    // Release one at a time: another thread then gets exactly that one.
    for (size_t released = 0; released < mutexes.size(); ++released) {
        ASSERT_TRUE(Platform::ReleaseMutex(mutexes[released]));
        std::vector<WaitResult> seen = OnOtherThread([&] {
            std::vector<WaitResult> results;
            for (Platform::Handle m : mutexes) {
                results.push_back(Platform::WaitForMutex(m, 1));
                if (Platform::IsAcquired(results.back()))
                    Platform::ReleaseMutex(m);
            }
            return results;
        });
        for (size_t i = 0; i < mutexes.size(); ++i)
            EXPECT_EQ(seen[i], i == released ? WaitResult::Acquired : WaitResult::TimedOut) << released << " " << i;
        ASSERT_EQ(Platform::WaitForMutex(mutexes[released], 1), WaitResult::Acquired);
    }
    for (Platform::Handle m : mutexes) {
        EXPECT_TRUE(Platform::ReleaseMutex(m));
        Platform::CloseHandle(m);
    }
}

TEST(PlatformMutexNameTest, NullHandleIsRefused) {
    EXPECT_EQ(Platform::WaitForMutex(nullptr, 1), WaitResult::Failed);
    EXPECT_FALSE(Platform::ReleaseMutex(nullptr));
    Platform::CloseHandle(nullptr);
}

} // namespace
