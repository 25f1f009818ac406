// Semaphores, thread priorities and starts, time, debugger output, OS version.
#include "Platform.h"
#include "PlatformTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#ifndef _WIN32
#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <unistd.h>
#endif

using Platform::WaitResult;
using PlatformTest::ElapsedMs;
using PlatformTest::OnOtherThread;

namespace {

TEST(PlatformSemaphoreConcurrencyTest, CountStaysWithinItsMaximum) {
    EXPECT_EQ(Platform::CreateKernelSemaphore(3, 2), nullptr);
    EXPECT_EQ(Platform::CreateKernelSemaphore(-1, 2), nullptr);
    EXPECT_EQ(Platform::CreateKernelSemaphore(0, 0), nullptr);

    Platform::Handle semaphore = Platform::CreateKernelSemaphore(1, 3);
    ASSERT_NE(semaphore, nullptr);
    EXPECT_FALSE(Platform::ReleaseSemaphore(semaphore, 3)); // 1 + 3 > 3: refused whole
    EXPECT_TRUE(Platform::ReleaseSemaphore(semaphore, 2));
    EXPECT_FALSE(Platform::ReleaseSemaphore(semaphore, 1));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Platform::WaitForSemaphore(semaphore, 0), WaitResult::Acquired) << i;
    EXPECT_EQ(Platform::WaitForSemaphore(semaphore, 0), WaitResult::TimedOut);
    // Not owned: any thread may signal it.
    EXPECT_TRUE(OnOtherThread([&] { return Platform::ReleaseSemaphore(semaphore, 1); }));
    EXPECT_EQ(Platform::WaitForSemaphore(semaphore, 1), WaitResult::Acquired);
    Platform::CloseHandle(semaphore);
}

TEST(PlatformSemaphoreConcurrencyTest, TimedWaitEndsAtItsTimeOutOrAtASignal) {
    Platform::Handle semaphore = Platform::CreateKernelSemaphore(0, 1);
    ASSERT_NE(semaphore, nullptr);
    WaitResult result = WaitResult::Failed;
    uint32_t elapsed = ElapsedMs([&] { result = Platform::WaitForSemaphore(semaphore, 200); });
    EXPECT_EQ(result, WaitResult::TimedOut);
    EXPECT_GE(elapsed, 180u);
    EXPECT_LT(elapsed, 30000u);

    std::thread signaller([&] {
        Platform::Sleep(20);
        Platform::ReleaseSemaphore(semaphore, 1);
    });
    EXPECT_EQ(Platform::WaitForSemaphore(semaphore, Platform::kInfinite), WaitResult::Acquired);
    signaller.join();
    EXPECT_EQ(Platform::WaitForSemaphore(nullptr, 1), WaitResult::Failed);
    EXPECT_FALSE(Platform::ReleaseSemaphore(nullptr, 1));
    Platform::CloseHandle(semaphore);
}

const int kPriorities[] = {Platform::kThreadPriorityBelowNormal, Platform::kThreadPriorityNormal,
                           Platform::kThreadPriorityAboveNormal, Platform::kThreadPriorityHighest,
                           Platform::kThreadPriorityTimeCritical};

TEST(PlatformThreadConcurrencyTest, PriorityReadsBackPerThread) {
    int saved = Platform::GetCurrentThreadPriority();
    for (int priority : kPriorities) {
        ASSERT_TRUE(Platform::SetCurrentThreadPriority(priority)) << priority;
        EXPECT_EQ(Platform::GetCurrentThreadPriority(), priority);
        // A fresh thread starts at normal and its changes stay its own.
        EXPECT_EQ(OnOtherThread([] {
                      int initial = Platform::GetCurrentThreadPriority();
                      Platform::SetCurrentThreadPriority(Platform::kThreadPriorityAboveNormal);
                      return initial;
                  }),
                  Platform::kThreadPriorityNormal);
        EXPECT_EQ(Platform::GetCurrentThreadPriority(), priority);
    }
    Platform::SetCurrentThreadPriority(saved);
}

struct Started {
    Platform::Handle done = Platform::CreateKernelSemaphore(0, 1);
    std::atomic<int> priority{Platform::kThreadPriorityErrorReturn};
    std::atomic<int> runs{0};
    ~Started() { Platform::CloseHandle(done); }

    static uint32_t Run(void *argument) {
        auto *self = static_cast<Started *>(argument);
        char deep[16 * 1024] = {1}; // a small requested stack must still hold this
        self->priority = Platform::GetCurrentThreadPriority() + deep[0] - 1;
        ++self->runs;
        Platform::ReleaseSemaphore(self->done, 1);
        return 0;
    }
};

TEST(PlatformThreadConcurrencyTest, StartedThreadRunsOnceAtItsPriority) {
    for (int priority : kPriorities) {
        Started started;
        ASSERT_TRUE(Platform::StartThread(&Started::Run, &started, priority, 0));
        ASSERT_EQ(Platform::WaitForSemaphore(started.done, 60000), WaitResult::Acquired);
        EXPECT_EQ(started.priority, priority);
        EXPECT_EQ(started.runs, 1);
    }
    Started small;
    ASSERT_TRUE(Platform::StartThread(&Started::Run, &small, Platform::kThreadPriorityNormal, 4096));
    ASSERT_EQ(Platform::WaitForSemaphore(small.done, 60000), WaitResult::Acquired);
    EXPECT_EQ(small.priority, Platform::kThreadPriorityNormal);
    EXPECT_FALSE(Platform::StartThread(nullptr, nullptr, Platform::kThreadPriorityNormal, 0));
}

TEST(PlatformTimeTest, TickCountAdvancesAcrossSleep) {
    // Long enough for the tick's granularity (about 16 ms on Windows) and for
    // a Wine tick that lags behind on a loaded machine not to matter.
    uint32_t elapsed = ElapsedMs([] { Platform::Sleep(200); });
    EXPECT_GE(elapsed, 150u);
    EXPECT_LT(elapsed, 10000u);
}

TEST(PlatformOsTest, VersionIsAnsweredOnlyByWindows) {
    Platform::OsVersion version{};
#ifdef _WIN32
    ASSERT_TRUE(Platform::GetOsVersion(version));
    EXPECT_EQ(version.platformId, Platform::kPlatformWin32Nt);
    EXPECT_GE(version.major, 5u);
#else
    EXPECT_FALSE(Platform::GetOsVersion(version));
#endif
}

#ifndef _WIN32
// Standard error redirected to a file for the lifetime of the object.
class StderrToFile {
  public:
    StderrToFile() : m_file(std::tmpfile()), m_saved(dup(STDERR_FILENO)) { dup2(fileno(m_file), STDERR_FILENO); }
    ~StderrToFile() {
        Restore();
        std::fclose(m_file);
    }
    std::string Contents() {
        Restore();
        std::string text;
        std::rewind(m_file);
        for (int c; (c = std::fgetc(m_file)) != EOF;)
            text += static_cast<char>(c);
        return text;
    }

  private:
    void Restore() {
        if (m_saved >= 0) {
            dup2(m_saved, STDERR_FILENO);
            close(m_saved);
            m_saved = -1;
        }
    }
    std::FILE *m_file;
    int m_saved;
};

TEST(PlatformOsTest, DebugTextReachesStandardErrorAsUtf8) {
    StderrToFile capture;
    Platform::OutputDebugText(L"Gr\u00fc\u00dfe \u20ac \U0001D11E\n");
    Platform::OutputDebugText(nullptr);
    std::wstring invalid = L"x";
    invalid += static_cast<wchar_t>(0xD800); // a lone surrogate is no character
    invalid += static_cast<wchar_t>(0x110000);
    Platform::OutputDebugText(invalid.c_str());
    EXPECT_EQ(capture.Contents(), "Gr\xc3\xbc\xc3\x9f"
                                  "e \xe2\x82\xac \xf0\x9d\x84\x9e\n"
                                  "x\xef\xbf\xbd\xef\xbf\xbd");
}

// Standard error a pipe that nobody reads any more: the trace is lost, the
// host lives on, and no SIGPIPE is left waiting to strike later.
TEST(PlatformOsTest, DebugTextToAPipeWithoutReaderLeavesTheHostRunning) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    struct sigaction byDefault {
    }, saved{};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    ASSERT_EQ(sigaction(SIGPIPE, &byDefault, &saved), 0);
    const int savedStderr = dup(STDERR_FILENO);
    dup2(ends[1], STDERR_FILENO);
    close(ends[1]);

    Platform::OutputDebugText(L"nobody reads this\n");

    dup2(savedStderr, STDERR_FILENO);
    close(savedStderr);
    sigset_t pending, blocked;
    sigemptyset(&pending);
    ASSERT_EQ(sigpending(&pending), 0);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, nullptr, &blocked), 0);
    EXPECT_EQ(sigismember(&blocked, SIGPIPE), 0);
    sigaction(SIGPIPE, &saved, nullptr);
}
#endif

} // namespace
