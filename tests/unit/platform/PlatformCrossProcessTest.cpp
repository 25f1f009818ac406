// Named mutexes between two processes: the helper program holds the mutex,
// this process tries to get it.
#include "ChildProcess.h"
#include "Platform.h"
#include "PlatformTestSupport.h"

#include <gtest/gtest.h>

using Platform::WaitResult;
using PlatformTest::ElapsedMs;
using PlatformTest::UniqueName;

namespace {

#ifdef _WIN32
// Under Wine the helper runs slowly; it must still hold the mutex when this
// process's timed tries have finished.
constexpr uint32_t kChildHoldMs = 15000;
#else
constexpr uint32_t kChildHoldMs = 2000;
#endif
constexpr uint32_t kChildAbandonsAfterMs = 1000;

class PlatformCrossProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Created before the child starts, so the object outlives the child.
        m_mutex = Platform::CreateKernelMutex(m_name.Wide());
        ASSERT_NE(m_mutex, nullptr);
        m_marker = ChildProcess::NewMarkerPath("hold");
    }
    void TearDown() override {
        Platform::CloseHandle(m_mutex);
        ChildProcess::RemoveFile(m_marker);
    }

    // Starts the helper holding the mutex and waits until it does.
    void StartHolder(uint32_t holdMs, const char *ending) {
        ASSERT_TRUE(m_child.Start({"hold-mutex", m_name.Narrow(), m_marker, std::to_string(holdMs), ending}))
            << ChildProcess::HelperPath();
        ASSERT_TRUE(ChildProcess::WaitForFile(m_marker, ChildProcess::StartupAllowanceMs()));
    }

    UniqueName m_name{L"xproc"};
    Platform::Handle m_mutex = nullptr;
    std::string m_marker;
    ChildProcess m_child;
};

TEST_F(PlatformCrossProcessTest, MutexHeldByAnotherProcessExcludesThisOne) {
    StartHolder(kChildHoldMs, "release");

    WaitResult shortTry = WaitResult::Failed, longTry = WaitResult::Failed;
    uint32_t shortMs = ElapsedMs([&] { shortTry = Platform::WaitForMutex(m_mutex, 1); });
    uint32_t longMs = ElapsedMs([&] { longTry = Platform::WaitForMutex(m_mutex, 500); });
    EXPECT_EQ(shortTry, WaitResult::TimedOut);
    EXPECT_EQ(longTry, WaitResult::TimedOut);
    EXPECT_LT(shortMs, 5000u);
    EXPECT_GE(longMs, 450u);
    EXPECT_LT(longMs, 10000u);

    // Released by the child (not abandoned): an ordinary acquisition.
    EXPECT_EQ(Platform::WaitForMutex(m_mutex, 120000), WaitResult::Acquired);
    EXPECT_TRUE(Platform::ReleaseMutex(m_mutex));
    EXPECT_EQ(m_child.WaitForExit(ChildProcess::StartupAllowanceMs()), 0);
}

// The holder ends while this process waits for the mutex. (On Linux a
// process that starts waiting after the holder ended finds it simply free.)
TEST_F(PlatformCrossProcessTest, ProcessEndingWhileHoldingAbandonsTheMutex) {
    StartHolder(kChildAbandonsAfterMs, "abandon");

    EXPECT_EQ(Platform::WaitForMutex(m_mutex, 120000), WaitResult::Abandoned);
    EXPECT_TRUE(Platform::ReleaseMutex(m_mutex));
    EXPECT_EQ(Platform::WaitForMutex(m_mutex, 1), WaitResult::Acquired);
    EXPECT_TRUE(Platform::ReleaseMutex(m_mutex));
    EXPECT_EQ(m_child.WaitForExit(ChildProcess::StartupAllowanceMs()), 0);
}

} // namespace
