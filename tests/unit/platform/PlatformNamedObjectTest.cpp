// Named mutexes on Linux as Windows has them: objects of the user who runs
// the host, never another user's; gone with the last handle of any process;
// and opens that survive the host's signal handlers.
#ifndef _WIN32

#include "ChildProcess.h"
#include "Platform.h"
#include "PlatformTestSupport.h"
#include "Posix/NamedObjectFiles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

using Platform::WaitResult;
using PlatformTest::UniqueName;

namespace {

constexpr uid_t kOtherUser = 65534; // nobody

std::string ObjectPath(const UniqueName &name) {
    return NamedObjectFiles::DirectoryPath() + "/" + NamedObjectFiles::FileName(name.Narrow());
}

struct stat StatOf(const std::string &path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0)
        info.st_mode = 0;
    return info;
}

bool Exists(const std::string &path) {
    return StatOf(path).st_mode != 0;
}

mode_t ModeOf(const std::string &path) {
    return StatOf(path).st_mode & 07777;
}

// A file where the object of `name` would be, as another user or a careless
// program could leave it: the size of a real one, the given mode and owner.
void Plant(const UniqueName &name, mode_t mode, uid_t owner) {
    static const off_t size = [] {
        UniqueName model(L"model");
        Platform::Handle mutex = Platform::CreateKernelMutex(model.Wide());
        const off_t bytes = StatOf(ObjectPath(model)).st_size;
        Platform::CloseHandle(mutex);
        return bytes;
    }();
    const std::string path = ObjectPath(name);
    const int file = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, mode);
    ASSERT_GE(file, 0) << path;
    EXPECT_GT(size, 0);
    EXPECT_EQ(ftruncate(file, size), 0);
    EXPECT_EQ(fchmod(file, mode), 0);
    EXPECT_EQ(fchown(file, owner, owner), 0);
    close(file);
}

bool CanBeOpened(const UniqueName &name) {
    Platform::Handle mutex = Platform::CreateKernelMutex(name.Wide());
    Platform::CloseHandle(mutex);
    return mutex != nullptr;
}

// Where the objects live, and that the last handle takes its object along.
TEST(PlatformNamedObjectTest, ObjectIsAPrivateFileOfTheUserAndGoesWithTheLastHandle) {
    UniqueName name(L"private");
    Platform::Handle first = Platform::CreateKernelMutex(name.Wide());
    Platform::Handle second = Platform::CreateKernelMutex(name.Wide());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(ModeOf(NamedObjectFiles::DirectoryPath()), 0700u);
    EXPECT_EQ(ModeOf(ObjectPath(name)), 0600u);
    Platform::CloseHandle(first);
    EXPECT_TRUE(Exists(ObjectPath(name)));
    Platform::CloseHandle(second);
    EXPECT_FALSE(Exists(ObjectPath(name)));
}

TEST(PlatformNamedObjectTest, ObjectThatIsNotTheUsersOwnIsNeverUsed) {
    ASSERT_TRUE(CanBeOpened(UniqueName(L"directory"))); // the directory exists
    UniqueName link(L"link"), folder(L"folder"), loose(L"loose");
    ASSERT_EQ(symlink("/dev/null", ObjectPath(link).c_str()), 0);
    ASSERT_EQ(mkdir(ObjectPath(folder).c_str(), 0700), 0);
    Plant(loose, 0666, geteuid()); // others could have written it
    EXPECT_FALSE(CanBeOpened(link));
    EXPECT_FALSE(CanBeOpened(folder));
    EXPECT_FALSE(CanBeOpened(loose));
    unlink(ObjectPath(link).c_str());
    rmdir(ObjectPath(folder).c_str());
    unlink(ObjectPath(loose).c_str());
    if (geteuid() != 0)
        GTEST_SKIP() << "an object of another user can be planted only by root";
    UniqueName foreign(L"foreign");
    Plant(foreign, 0600, kOtherUser);
    EXPECT_FALSE(CanBeOpened(foreign));
    unlink(ObjectPath(foreign).c_str());
}

// The base directory is swapped for one of the test's own, where the user's
// directory can be planted.
class PlatformNamedObjectDirectoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char base[] = "/tmp/ostrel_objects_XXXXXX";
        ASSERT_NE(mkdtemp(base), nullptr);
        m_base = base;
        NamedObjectFiles::SetBaseDirectoryForTesting(m_base.c_str());
    }
    void TearDown() override {
        NamedObjectFiles::SetBaseDirectoryForTesting(nullptr);
        std::system(("rm -rf " + m_base).c_str());
    }
    std::string m_base;
};

TEST_F(PlatformNamedObjectDirectoryTest, DirectoryThatIsNotTheUsersOwnIsRefused) {
    const std::string directory = NamedObjectFiles::DirectoryPath();
    ASSERT_EQ(mkdir((m_base + "/elsewhere").c_str(), 0700), 0);
    ASSERT_EQ(symlink((m_base + "/elsewhere").c_str(), directory.c_str()), 0);
    EXPECT_FALSE(CanBeOpened(UniqueName(L"linked")));
    ASSERT_EQ(unlink(directory.c_str()), 0);

    // The user's own directory, left open to others, is made private.
    ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
    ASSERT_EQ(chmod(directory.c_str(), 0777), 0);
    EXPECT_TRUE(CanBeOpened(UniqueName(L"opened")));
    EXPECT_EQ(ModeOf(directory), 0700u);

    if (geteuid() != 0)
        GTEST_SKIP() << "a directory of another user can be planted only by root";
    ASSERT_EQ(chown(directory.c_str(), kOtherUser, kOtherUser), 0);
    EXPECT_FALSE(CanBeOpened(UniqueName(L"foreign")));
}

class PlatformNamedObjectProcessTest : public ::testing::Test {
  protected:
    void TearDown() override { ChildProcess::RemoveFile(m_marker); }
    bool StartChild(const std::vector<std::string> &arguments) {
        return m_child.Start(arguments) && ChildProcess::WaitForFile(m_marker, ChildProcess::StartupAllowanceMs());
    }
    std::string m_marker = ChildProcess::NewMarkerPath("named");
    ChildProcess m_child;
};

// Each user has names of their own: another user holding a name neither
// blocks nor is blocked by this one's.
TEST_F(PlatformNamedObjectProcessTest, SecondUserHasObjectsOfTheirOwn) {
    if (geteuid() != 0)
        GTEST_SKIP() << "running as a second user needs root";
    UniqueName name(L"peruser");
    Platform::Handle mutex = Platform::CreateKernelMutex(name.Wide());
    ASSERT_EQ(Platform::WaitForMutex(mutex, 1), WaitResult::Acquired);
    ASSERT_TRUE(m_child.Start({"try-mutex-as", std::to_string(kOtherUser), name.Narrow()}));
    EXPECT_EQ(m_child.WaitForExit(ChildProcess::StartupAllowanceMs()), 0);
    EXPECT_TRUE(Platform::ReleaseMutex(mutex));
    Platform::CloseHandle(mutex);
}

void IgnoreSignal(int) {}

// An open waits while another process removes the object; signals the host
// handles (without SA_RESTART) must not make that wait fail.
TEST_F(PlatformNamedObjectProcessTest, OpenThatWaitsSurvivesTheHostsSignals) {
    UniqueName name(L"interrupted");
    ASSERT_TRUE(StartChild({"lock-named-object", name.Narrow(), m_marker, "1500"}));
    struct sigaction handler {
    }, saved{};
    handler.sa_handler = &IgnoreSignal;
    sigemptyset(&handler.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &handler, &saved), 0);
    const pthread_t opener = pthread_self();
    std::atomic<bool> done{false};
    std::thread signaller([&] {
        while (!done.load()) {
            pthread_kill(opener, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    Platform::Handle mutex = Platform::CreateKernelMutex(name.Wide());
    done = true;
    signaller.join();
    sigaction(SIGUSR1, &saved, nullptr);

    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(Platform::WaitForMutex(mutex, 1), WaitResult::Acquired);
    EXPECT_TRUE(Platform::ReleaseMutex(mutex));
    Platform::CloseHandle(mutex);
    EXPECT_EQ(m_child.WaitForExit(60000), 0);
    EXPECT_FALSE(Exists(ObjectPath(name)));
}

} // namespace

#endif
