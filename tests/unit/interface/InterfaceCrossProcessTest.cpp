// Two host processes and the machine-wide claims between them: a unit's port
// claim, and the device-list mutex.
#include "InterfaceTestSupport.h"
#include "TestProcessNames.h"

#include "ChildProcess.h"

#ifndef _WIN32
#include "Posix/NamedClaim.h"
#include "Squatter.h"
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#ifdef _WIN32
#include <process.h>
#else
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char **environ;
#endif

namespace iface_test {
namespace {

using sim::SimUnit;

// This test process's device-list mutex (see TestProcessNames.h).
std::string ListMutexName() {
    const std::wstring name = TestDeviceListMutexName();
    return std::string(name.begin(), name.end());
}

// Runs ostrel_test_host (beside the test program) to its end: its exit code,
// or -1 when it could not be started or did not end within timeoutMs.
int RunTestHost(const std::vector<std::string> &arguments, uint32_t timeoutMs) {
    // The helpers share one directory.
    std::string path = ChildProcess::HelperPath();
    path = path.substr(0, path.size() - std::strlen(OSTREL_TEST_CHILD)) + OSTREL_TEST_HOST;
    std::vector<std::string> all{path};
    all.insert(all.end(), arguments.begin(), arguments.end());
#ifdef _WIN32
    std::vector<const char *> argv;
    for (const std::string &argument : all)
        argv.push_back(argument.c_str()); // the arguments used here have no blanks
    argv.push_back(nullptr);
    const intptr_t process = _spawnv(_P_NOWAIT, path.c_str(), argv.data());
    if (process == -1)
        return -1;
    // _cwait has no time-out: wait on a thread of its own.
    auto done = std::make_shared<std::promise<int>>();
    std::future<int> exitCode = done->get_future();
    std::thread([done, process] {
        int status = -1;
        done->set_value(_cwait(&status, process, _WAIT_CHILD) == -1 ? -2 : status);
    }).detach();
    if (exitCode.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready)
        return -1;
    return exitCode.get();
#else
    std::vector<char *> argv;
    for (std::string &argument : all)
        argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t waited = waitpid(pid, &status, WNOHANG);
        if (waited == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        if (waited == -1)
            return -2;
        if (Clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
#endif
}

std::string ReadFile(const std::string &path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string AddressArgument(const SimUnit &unit) {
    const std::wstring text = sim::SimStack::AddressText(unit.BluetoothAddress());
    return std::string(text.begin(), text.end());
}

class InterfaceCrossProcessTest : public HostTest {
  protected:
    // Reads the channel until it holds count values; false after 5 s.
    bool Streams(OstrelDevice device, int channel, size_t count) {
        std::vector<int> values;
        int chunk[64];
        const auto start = Clock::now();
        while (values.size() < count && MillisecondsSince(start) < 5000) {
            const int n = Ostrel_Device_ReadRawMeasurements(device, channel, chunk, 64);
            if (n < 0)
                return false;
            values.insert(values.end(), chunk, chunk + n);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        for (size_t i = 0; i < values.size(); ++i)
            if (values[i] != SimUnit::SampleValue(channel, i) * 16)
                return false;
        return values.size() >= count;
    }
};

TEST_F(InterfaceCrossProcessTest, UnitOpenInOneProcessIsRefusedToAnother) {
    auto unit = AddUnit("Owner");
    OstrelDevice device = Open(*unit);
    ASSERT_NE(device, nullptr);

    // The other process as it is, and (Linux, as root) one that finds /dev/shm
    // emptied by a cleaner.
    std::vector<std::vector<std::string>> options{{}};
#ifndef _WIN32
    if (geteuid() == 0)
        options.push_back({"--empty-shm"});
#endif
    for (std::vector<std::string> arguments : options) {
        SCOPED_TRACE(arguments.empty() ? "as it is" : "after a cleaner");
        const std::string result = ChildProcess::NewMarkerPath("host");
        arguments.insert(arguments.end(), {"open", result, AddressArgument(*unit)});
        ASSERT_EQ(RunTestHost(arguments, ChildProcess::StartupAllowanceMs() + 60000), 0);
        const std::string report = ReadFile(result);
        ChildProcess::RemoveFile(result);
        // The other process's device cannot take the claim, so its link never
        // carries the init command; its own unit opens as usual.
        EXPECT_NE(report.find("Contested refused commands=0 connected=0\n"), std::string::npos) << report;
        EXPECT_NE(report.find("Control opened"), std::string::npos) << report;
    }

    // This process's device is untouched.
    EXPECT_EQ(Ping(device), 0);
    ASSERT_EQ(Ostrel_Device_SendCmd(device, SimUnit::kCmdStart, nullptr, 0, nullptr), 0);
    EXPECT_TRUE(Streams(device, 3, 20));
    EXPECT_EQ(Ostrel_Device_Close(device), 0);
    EXPECT_EQ(unit->CommandCount(SimUnit::kCmdStop), 1u);
}

// A closed unit is free for the host's other threads and for other processes,
// also when the host closed it while it held the device lock: the claim goes
// with the device's last handle, held or not.
TEST_F(InterfaceCrossProcessTest, ClosedUnitOpensAgainOnAnotherThreadAndInAnotherProcess) {
    for (const bool lockedAtClose : {false, true}) {
        SCOPED_TRACE(lockedAtClose ? "closed while locked" : "closed");
        auto unit = AddUnit(lockedAtClose ? "Locked" : "Alpha");
        OstrelDevice device = Open(*unit);
        ASSERT_NE(device, nullptr);
        if (lockedAtClose) {
            ASSERT_EQ(Ostrel_Device_Lock(device, 0), 0);
        }
        ASSERT_EQ(Ostrel_Device_Close(device), 0);

        const std::string name = lockedAtClose ? "Locked" : "Alpha";
        const std::pair<int, int> pingAndClose = OnOtherThread([&] {
            OstrelDevice again = Ostrel_Device_Open(lib, name.c_str());
            if (again == nullptr)
                return std::make_pair(-2, -2);
            const int ping = Ping(again);
            return std::make_pair(ping, Ostrel_Device_Close(again));
        });
        EXPECT_EQ(pingAndClose, std::make_pair(0, 0));
        EXPECT_FALSE(unit->IsConnected());

        const std::string result = ChildProcess::NewMarkerPath("host");
        ASSERT_EQ(RunTestHost({"open", result, AddressArgument(*unit)}, ChildProcess::StartupAllowanceMs() + 60000), 0);
        const std::string report = ReadFile(result);
        ChildProcess::RemoveFile(result);
        EXPECT_NE(report.find("Contested opened"), std::string::npos) << report;
    }
}

TEST_F(InterfaceCrossProcessTest, ListMutexHeldByAnotherProcessRefusesGuardedCallsUntilReleased) {
    auto unit = AddUnit("Alpha");
    auto later = AddUnit("Bravo");
    OstrelDevice device = Open(*unit);
    ASSERT_NE(device, nullptr);

    ChildProcess child;
    const std::string marker = ChildProcess::NewMarkerPath("listmutex");
    ASSERT_TRUE(child.Start({"hold-mutex", ListMutexName(), marker, "3000", "release"}));
    ASSERT_TRUE(ChildProcess::WaitForFile(marker, ChildProcess::StartupAllowanceMs()));
    EXPECT_EQ(Ping(device), -1);
    // An open made now waits to register until the other process lets go.
    OstrelDevice second = Ostrel_Device_Open(lib, "Bravo");
    EXPECT_EQ(child.WaitForExit(60000), 0);
    ChildProcess::RemoveFile(marker);

    ASSERT_NE(second, nullptr);
    EXPECT_EQ(Ping(second), 0);
    EXPECT_EQ(Ping(device), 0);
    EXPECT_EQ(Snapshot().size(), 2u);
}

#ifndef _WIN32
// Another account's socket on the name of the device-list mutex, with the
// fallback out of reach too: Ostrel_Init fails and says why, naming both.
// With the fallback in reach, the squatter is no obstacle.
TEST_F(InterfaceCrossProcessTest, InitThatCannotHaveTheListMutexSaysWhy) {
    if (geteuid() != 0)
        GTEST_SKIP() << "another user's socket can be planted only by root";
    ASSERT_EQ(Ostrel_Uninit(lib), 0);
    lib = nullptr;
    const std::string address = NamedClaim::AddressOf(ListMutexName());
    Squatter squatter(address, "listen");
    ASSERT_TRUE(squatter.Bound());
    char base[] = "/tmp/ostrel_fallback_XXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    const std::string unusable = std::string(base) + "/file/fallback";
    std::ofstream(std::string(base) + "/file").put('\n');

    NamedClaim::SetFallbackDirectoryForTesting(unusable.c_str());
    EXPECT_EQ(Ostrel_Init(), nullptr);
    char why[1024] = {};
    EXPECT_EQ(Ostrel_GetInitFailure(why, sizeof why), OSTREL_INIT_NAMED_OBJECTS);
    for (const std::string &part : {"@" + address, "user " + std::to_string(Squatter::kOtherUser), unusable})
        EXPECT_NE(std::string(why).find(part), std::string::npos) << why;

    NamedClaim::SetFallbackDirectoryForTesting((std::string(base) + "/fallback").c_str());
    lib = Ostrel_Init();
    EXPECT_NE(lib, nullptr);
    EXPECT_EQ(Ostrel_GetInitFailure(why, sizeof why), 0);
    EXPECT_STREQ(why, "");
    NamedClaim::SetFallbackDirectoryForTesting(nullptr);
    std::system((std::string("rm -rf ") + base).c_str());
}
#endif

TEST_F(InterfaceCrossProcessTest, ListMutexAbandonedByAnotherProcessIsTakenOver) {
    auto unit = AddUnit("Alpha");
    OstrelDevice device = Open(*unit);
    ASSERT_NE(device, nullptr);

    ChildProcess child;
    const std::string marker = ChildProcess::NewMarkerPath("listmutex");
    ASSERT_TRUE(child.Start({"hold-mutex", ListMutexName(), marker, "2000", "abandon"}));
    ASSERT_TRUE(ChildProcess::WaitForFile(marker, ChildProcess::StartupAllowanceMs()));
    EXPECT_EQ(Ping(device), -1);
    EXPECT_EQ(child.WaitForExit(60000), 0);
    ChildProcess::RemoveFile(marker);

    // The process ended holding it: the next wait gets it all the same.
    EXPECT_EQ(Ping(device), 0);
    EXPECT_EQ(Ping(device), 0);
    EXPECT_EQ(Ostrel_Device_Close(device), 0);
}

// Opens a unit on a thread of its own, which keeps running (and so keeps the
// unit's claim) until the object goes.
class OpeningThread {
  public:
    OpeningThread(OstrelLibrary lib, const std::string &name)
        : m_thread([this, lib, name] {
              m_opened.set_value(Ostrel_Device_Open(lib, name.c_str()));
              m_ended.wait();
          }) {}
    ~OpeningThread() {
        m_end.set_value();
        m_thread.join();
    }
    OpeningThread(const OpeningThread &) = delete;
    OpeningThread &operator=(const OpeningThread &) = delete;

    OstrelDevice Device() { return m_device.get(); }

  private:
    std::promise<OstrelDevice> m_opened;
    std::shared_future<OstrelDevice> m_device = m_opened.get_future().share();
    std::promise<void> m_end;
    std::shared_future<void> m_ended = m_end.get_future().share();
    std::thread m_thread; // last: it starts once the rest exists
};

class InterfaceUninitConcurrencyTest : public InterfaceCrossProcessTest {};

// While another process's Ostrel_Uninit closes a link that takes seconds to
// close, this process's calls (which share its device-list mutex) go on.
TEST_F(InterfaceUninitConcurrencyTest, OtherProcessesCallOnWhileUninitClosesLinks) {
#ifdef _WIN32
    constexpr uint32_t kCloseMs = 10000;
#else
    constexpr uint32_t kCloseMs = 4000;
#endif
    auto unit = AddUnit("Alpha");
    OstrelDevice device = Open(*unit);
    ASSERT_NE(device, nullptr);
    const std::string marker = ChildProcess::NewMarkerPath("uninit");
    std::future<int> host = std::async(std::launch::async, [&] {
        return RunTestHost({"uninit-slowly", marker, ListMutexName(), std::to_string(kCloseMs)},
                           ChildProcess::StartupAllowanceMs() + 60000);
    });
    ASSERT_TRUE(ChildProcess::WaitForFile(marker, ChildProcess::StartupAllowanceMs()));
    std::vector<int> refused;
    const auto start = Clock::now();
    while (MillisecondsSince(start) < kCloseMs / 2)
        if (const int result = Ping(device))
            refused.push_back(result);
    EXPECT_TRUE(refused.empty()) << refused.size() << " calls refused, the first " << refused.front();
    // Its Ostrel_Uninit, begun right after the marker, was still at work.
    EXPECT_EQ(host.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    EXPECT_EQ(host.get(), 0);
    ChildProcess::RemoveFile(marker);
}

TEST_F(InterfaceUninitConcurrencyTest, UninitClosesEveryDeviceItCanWhateverTheOpeningOrder) {
    std::vector<std::shared_ptr<SimUnit>> mine;
    std::vector<std::shared_ptr<SimUnit>> held;
    std::vector<std::unique_ptr<OpeningThread>> owners;
    std::unique_ptr<sim::SimStackScope> again; // Ostrel_Init chooses a real stack
    for (const bool threadFirst : {true, false}) {
        const std::string order = threadFirst ? "1" : "2";
        held.push_back(AddUnit("Held" + order));
        mine.push_back(AddUnit("Mine" + order));
        ASSERT_EQ(Search(), 0);
        OstrelDevice own = threadFirst ? nullptr : Ostrel_Device_Open(lib, mine.back()->Serial().c_str());
        owners.push_back(std::make_unique<OpeningThread>(lib, held.back()->Serial()));
        ASSERT_NE(owners.back()->Device(), nullptr);
        if (threadFirst)
            own = Ostrel_Device_Open(lib, mine.back()->Serial().c_str());
        ASSERT_NE(own, nullptr);

        ASSERT_EQ(Ostrel_Uninit(lib), 0);
        // The calling thread's device is closed; the other thread's, which
        // only that thread can close, stays open.
        EXPECT_FALSE(mine.back()->IsConnected()) << "order " << order;
        EXPECT_TRUE(held.back()->IsConnected()) << "order " << order;
        lib = Ostrel_Init();
        ASSERT_NE(lib, nullptr);
        again = std::make_unique<sim::SimStackScope>();
    }

    // Another process may open what was closed, and not what is still held.
    const std::string result = ChildProcess::NewMarkerPath("host");
    ASSERT_EQ(RunTestHost({"open", result, AddressArgument(*mine[0]), AddressArgument(*mine[1]),
                           AddressArgument(*held[0]), AddressArgument(*held[1])},
                          ChildProcess::StartupAllowanceMs() + 60000),
              0);
    const std::string report = ReadFile(result);
    ChildProcess::RemoveFile(result);
    EXPECT_NE(report.find("Contested opened"), std::string::npos) << report;
    EXPECT_NE(report.find("Contested2 opened"), std::string::npos) << report;
    EXPECT_NE(report.find("Contested3 refused"), std::string::npos) << report;
    EXPECT_NE(report.find("Contested4 refused"), std::string::npos) << report;
#if defined(__SANITIZE_ADDRESS__)
    // Left open on purpose with their threads; no instance knows them.
    for (const auto &owner : owners)
        __lsan_ignore_object(owner->Device());
#endif
    owners.clear();
    again.reset();
}

} // namespace
} // namespace iface_test
