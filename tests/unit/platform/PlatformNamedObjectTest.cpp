// Named mutexes on Linux between processes of one user: claims that nothing
// another account plants, nothing a cleaner removes and nothing a dead
// process leaves can block or break; handles that a forked child cannot use;
// and waits that survive the host's signal handlers.
#ifndef _WIN32

#include "ChildProcess.h"
#include "Platform.h"
#include "PlatformTestSupport.h"
#include "Posix/NamedClaim.h"
#include "Squatter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using Platform::WaitResult;
using PlatformTest::UniqueName;

namespace {

constexpr uid_t kOtherUser = Squatter::kOtherUser;
constexpr int kChildAcquired = 0;
constexpr int kChildRefused = 4;
// Long enough for a waiter to tell a squatter from a holder of its own user.
constexpr uint32_t kTryMs = 300;

bool Exists(const std::string &path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

mode_t ModeOf(const std::string &path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

std::vector<std::string> Entries(const std::string &directory) {
    std::vector<std::string> names;
    if (DIR *dir = opendir(directory.c_str())) {
        while (dirent *entry = readdir(dir))
            if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..")
                names.push_back(entry->d_name);
        closedir(dir);
    }
    return names;
}

class PlatformNamedObjectTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char base[] = "/tmp/ostrel_claims_XXXXXX";
        ASSERT_NE(mkdtemp(base), nullptr);
        m_base = base;
        m_fallback = m_base + "/fallback";
        NamedClaim::SetFallbackDirectoryForTesting(m_fallback.c_str());
    }
    void TearDown() override {
        NamedClaim::SetFallbackDirectoryForTesting(nullptr);
        std::system(("rm -rf " + m_base).c_str());
    }

    // Runs the helper to its end with this test's fallback directory: its
    // exit code.
    int RunChild(std::vector<std::string> arguments, bool emptySharedMemory = false) {
        if (emptySharedMemory)
            arguments.insert(arguments.begin(), "--empty-shm");
        arguments.insert(arguments.begin(), {"--fallback", m_fallback});
        ChildProcess child;
        if (!child.Start(arguments))
            return -1;
        return child.WaitForExit(ChildProcess::StartupAllowanceMs());
    }
    // Another process of this user tries the mutex for kTryMs.
    int OtherProcessTries(const UniqueName &name, bool emptySharedMemory = false) {
        return RunChild({"try-mutex-as", std::to_string(geteuid()), name.Narrow(), std::to_string(kTryMs)},
                        emptySharedMemory);
    }

    std::string m_base;
    std::string m_fallback;
};

// The claim is no file: nothing appears in /dev/shm or the fallback
// directory; it lasts while a handle is open and goes with the last one,
// released or not.
TEST_F(PlatformNamedObjectTest, ClaimIsNoFileAndGoesWithTheLastHandle) {
    const std::vector<std::string> before = Entries("/dev/shm");
    UniqueName name(L"handles");
    Platform::Handle first = Platform::CreateKernelMutex(name.Wide());
    Platform::Handle second = Platform::CreateKernelMutex(name.Wide());
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(Platform::WaitForMutex(first, 1), WaitResult::Acquired);
    EXPECT_EQ(Entries("/dev/shm"), before);
    EXPECT_FALSE(Exists(m_fallback));
    EXPECT_EQ(OtherProcessTries(name), kChildRefused);
    Platform::CloseHandle(first);
    EXPECT_EQ(OtherProcessTries(name), kChildRefused);
    // The last handle closes while its thread still holds the mutex.
    Platform::CloseHandle(second);
    EXPECT_EQ(OtherProcessTries(name), kChildAcquired);
}

// Whatever a cleaner removes, a held claim holds: another process that finds
// /dev/shm empty, and the fallback directory gone, is still refused.
TEST_F(PlatformNamedObjectTest, ClaimOutlivesACleaner) {
    if (geteuid() != 0)
        GTEST_SKIP() << "an empty /dev/shm of a process's own needs root";
    UniqueName name(L"cleaned");
    Platform::Handle mutex = Platform::CreateKernelMutex(name.Wide());
    ASSERT_EQ(Platform::WaitForMutex(mutex, 1), WaitResult::Acquired);
    std::system(("rm -rf " + m_fallback).c_str());
    EXPECT_EQ(OtherProcessTries(name, true), kChildRefused);
    EXPECT_TRUE(Platform::ReleaseMutex(mutex));
    EXPECT_EQ(OtherProcessTries(name, true), kChildAcquired);
    Platform::CloseHandle(mutex);
}

// Nothing another account binds or plants takes a name from its user, and
// the claims made around it still exclude each other; a loose fallback
// directory is put right. When the fallback cannot be used either, the wait
// fails and says why.
TEST_F(PlatformNamedObjectTest, NothingAnotherUserPlantsBlocksAClaim) {
    if (geteuid() != 0)
        GTEST_SKIP() << "another user's sockets and folders can be planted only by root";
    const std::string oldFolder = "/dev/shm/Ostrel_lib-" + std::to_string(geteuid());
    const bool plantFolder = !Exists(oldFolder);
    if (plantFolder) {
        ASSERT_EQ(mkdir(oldFolder.c_str(), 0700), 0);
        ASSERT_EQ(chown(oldFolder.c_str(), kOtherUser, kOtherUser), 0);
    }
    ASSERT_EQ(mkdir(m_fallback.c_str(), 0500), 0); // as an unusual umask could leave it

    // Sockets of other types have addresses of their own: no squat.
    for (const char *how : {"none", "listen", "bind"}) {
        SCOPED_TRACE(how);
        UniqueName name(L"planted");
        const std::string address = NamedClaim::AddressOf(name.Narrow());
        std::unique_ptr<Squatter> squatter;
        if (std::string(how) != "none") {
            squatter = std::make_unique<Squatter>(address, how);
            ASSERT_TRUE(squatter->Bound());
        }
        Platform::Handle mutex = Platform::CreateKernelMutex(name.Wide());
        ASSERT_NE(mutex, nullptr);
        ASSERT_TRUE(Platform::IsAcquired(Platform::WaitForMutex(mutex, 5000)));
        EXPECT_EQ(OtherProcessTries(name), kChildRefused);
        EXPECT_TRUE(Platform::ReleaseMutex(mutex));
        EXPECT_EQ(OtherProcessTries(name), kChildAcquired);

        if (squatter) {
            EXPECT_EQ(ModeOf(m_fallback), 0700u);
            NamedClaim::SetFallbackDirectoryForTesting("/dev/null/fallback");
            EXPECT_EQ(Platform::WaitForMutex(mutex, kTryMs), WaitResult::Failed);
            const std::wstring why = Platform::LastMutexFailure();
            EXPECT_NE(why.find(std::wstring(address.begin(), address.end())), std::wstring::npos);
            EXPECT_NE(why.find(L"/dev/null/fallback"), std::wstring::npos);
            if (std::string(how) == "listen") {
                EXPECT_NE(why.find(L"user " + std::to_wstring(kOtherUser)), std::wstring::npos);
            }
            NamedClaim::SetFallbackDirectoryForTesting(m_fallback.c_str());
        }
        Platform::CloseHandle(mutex);
    }
    if (plantFolder)
        rmdir(oldFolder.c_str());
}

// Left behind by dead processes, and never in the way: a lock file of a
// fallback holder that was killed (removed by the next claim), and a folder
// of objects of an earlier version with no permissions and a file of another
// size in it.
TEST_F(PlatformNamedObjectTest, LeftoversOfDeadProcessesNeverBlock) {
    UniqueName name(L"leftovers");
    ASSERT_EQ(mkdir(m_fallback.c_str(), 0700), 0);
    const std::string lockFile = m_fallback + "/" + name.Narrow() + ".lock";
    std::ofstream(lockFile).put('\n');
    const std::string oldFolder = "/dev/shm/Ostrel_lib-" + std::to_string(geteuid());
    const bool plantFolder = !Exists(oldFolder);
    if (plantFolder) {
        ASSERT_EQ(mkdir(oldFolder.c_str(), 0700), 0);
        std::ofstream(oldFolder + "/" + name.Narrow()) << "another layout";
        chmod(oldFolder.c_str(), 0);
    }

    Platform::Handle mutex = Platform::CreateKernelMutex(name.Wide());
    EXPECT_EQ(Platform::WaitForMutex(mutex, 1), WaitResult::Acquired);
    EXPECT_FALSE(Exists(lockFile));
    EXPECT_EQ(OtherProcessTries(name), kChildRefused);
    EXPECT_TRUE(Platform::ReleaseMutex(mutex));
    Platform::CloseHandle(mutex);
    if (plantFolder)
        std::system(("rm -rf " + oldFolder).c_str());
}

// A forked child cannot use the parent's claim, says why, and does not keep
// it alive: once the parent lets go, a third process gets it.
TEST_F(PlatformNamedObjectTest, ForkedChildNeitherUsesNorKeepsTheParentsClaim) {
    UniqueName name(L"forked");
    Platform::Handle mutex = Platform::CreateKernelMutex(name.Wide());
    ASSERT_EQ(Platform::WaitForMutex(mutex, 1), WaitResult::Acquired);
    int ready[2], proceed[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(proceed), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int faults = 0;
        faults |= Platform::WaitForMutex(mutex, 1) == WaitResult::Failed ? 0 : 1;
        faults |= Platform::ReleaseMutex(mutex) ? 2 : 0;
        faults |= Platform::LastMutexFailure().find(L"fork") != std::wstring::npos ? 0 : 4;
        // A handle of its own is the child's, and the parent still holds it.
        Platform::Handle own = Platform::CreateKernelMutex(name.Wide());
        faults |= Platform::WaitForMutex(own, 1) == WaitResult::TimedOut ? 0 : 8;
        char byte = 0;
        faults |= write(ready[1], "x", 1) == 1 && read(proceed[0], &byte, 1) == 1 ? 0 : 16;
        _exit(faults);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    EXPECT_TRUE(Platform::ReleaseMutex(mutex));
    Platform::CloseHandle(mutex);
    EXPECT_EQ(OtherProcessTries(name), kChildAcquired);
    ASSERT_EQ(write(proceed[1], "x", 1), 1);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    for (int fd : {ready[0], ready[1], proceed[0], proceed[1]})
        close(fd);
}

// Each user has names of their own: another user holding a name neither
// blocks nor is blocked by this one's.
TEST_F(PlatformNamedObjectTest, SecondUserHasObjectsOfTheirOwn) {
    if (geteuid() != 0)
        GTEST_SKIP() << "running as a second user needs root";
    UniqueName name(L"peruser");
    Platform::Handle mutex = Platform::CreateKernelMutex(name.Wide());
    ASSERT_EQ(Platform::WaitForMutex(mutex, 1), WaitResult::Acquired);
    EXPECT_EQ(RunChild({"try-mutex-as", std::to_string(kOtherUser), name.Narrow()}), kChildAcquired);
    EXPECT_TRUE(Platform::ReleaseMutex(mutex));
    Platform::CloseHandle(mutex);
}

void IgnoreSignal(int) {}

// A wait on another process's holder must not fail when the host's signal
// handlers (without SA_RESTART) interrupt it.
TEST_F(PlatformNamedObjectTest, WaitSurvivesTheHostsSignals) {
    UniqueName name(L"interrupted");
    const std::string marker = ChildProcess::NewMarkerPath("named");
    ChildProcess holder;
    ASSERT_TRUE(holder.Start({"hold-mutex", name.Narrow(), marker, "1500", "release"}));
    ASSERT_TRUE(ChildProcess::WaitForFile(marker, ChildProcess::StartupAllowanceMs()));
    struct sigaction handler {
    }, saved{};
    handler.sa_handler = &IgnoreSignal;
    sigemptyset(&handler.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &handler, &saved), 0);
    const pthread_t waiter = pthread_self();
    std::atomic<bool> done{false};
    std::thread signaller([&] {
        while (!done.load()) {
            pthread_kill(waiter, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    Platform::Handle mutex = Platform::CreateKernelMutex(name.Wide());
    const WaitResult result = Platform::WaitForMutex(mutex, 60000);
    done = true;
    signaller.join();
    sigaction(SIGUSR1, &saved, nullptr);

    EXPECT_EQ(result, WaitResult::Acquired);
    EXPECT_TRUE(Platform::ReleaseMutex(mutex));
    Platform::CloseHandle(mutex);
    EXPECT_EQ(holder.WaitForExit(60000), 0);
    ChildProcess::RemoveFile(marker);
}

} // namespace

#endif
