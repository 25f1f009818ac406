// Shared by the interface tests: a host that brings the library up against
// the simulated stack, and small helpers that reach the library only through
// its exported functions.
#pragma once

#include "Ostrel_lib.h"

#include "Platform.h"
#include "SimStack.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace iface_test {

using Clock = std::chrono::steady_clock;

inline int64_t MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Polls every 5 ms until done() holds; false after timeoutMs.
inline bool WaitUntil(const std::function<bool()> &done, uint32_t timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Runs f on a thread of its own and hands back its result: a second host
// thread, which does not own the devices this thread opened.
template <typename F> auto OnOtherThread(F &&f) -> decltype(f()) {
    return std::async(std::launch::async, std::forward<F>(f)).get();
}

struct ListEntry {
    std::string name;
    int status;
};

// The device-list mutex is one object for the whole machine, so interface
// tests of parallel test processes would see each other's holds (the
// cross-process tests hold it for seconds on purpose). Each interface test
// therefore runs under this machine-wide test lock.
class MachineTestLock {
  public:
    MachineTestLock() : m_mutex(Platform::CreateKernelMutex(L"Ostrel_interface_tests")) {
        m_held = m_mutex != nullptr && Platform::IsAcquired(Platform::WaitForMutex(m_mutex, kWaitMs));
    }
    ~MachineTestLock() {
        if (m_held)
            Platform::ReleaseMutex(m_mutex);
        Platform::CloseHandle(m_mutex);
    }
    MachineTestLock(const MachineTestLock &) = delete;
    MachineTestLock &operator=(const MachineTestLock &) = delete;

    bool Held() const { return m_held; }

  private:
    static constexpr uint32_t kWaitMs = 600000;
    Platform::Handle m_mutex;
    bool m_held = false;
};

// A host with a live library instance whose searches and links go to the
// simulated stack. Ostrel_Init picks a real stack, so the simulated one is
// selected after it. Whatever a test leaves open is closed by Ostrel_Uninit
// on the test's thread.
class HostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_testLock = std::make_unique<MachineTestLock>();
        ASSERT_TRUE(m_testLock->Held());
        lib = Ostrel_Init();
        ASSERT_NE(lib, nullptr);
        scope = std::make_unique<sim::SimStackScope>();
    }

    void TearDown() override {
        if (lib != nullptr)
            Ostrel_Uninit(lib);
        scope.reset();
        m_testLock.reset();
    }

    // A reachable unit; its device name is its serial.
    std::shared_ptr<sim::SimUnit> AddUnit(const std::string &serial = "12345") { return scope->AddUnit(serial); }

    int Search() {
        int stamp = -1;
        return Ostrel_SearchForDevices(lib, OSTREL_DEVICE_TYPE, 0, &stamp);
    }

    // Searches, then opens the unit by its device name.
    OstrelDevice Open(const sim::SimUnit &unit) {
        EXPECT_EQ(Search(), 0);
        return Ostrel_Device_Open(lib, unit.Serial().c_str());
    }

    // Every entry of a fresh snapshot of the device list.
    std::vector<ListEntry> Snapshot() {
        int count = -1;
        int stamp = -1;
        OstrelSnapshot snapshot = Ostrel_OpenDeviceListSnapshot(lib, OSTREL_DEVICE_TYPE, &count, &stamp);
        return ReadSnapshot(snapshot, count, true);
    }

    static std::vector<ListEntry> ReadSnapshot(OstrelSnapshot snapshot, int count, bool close) {
        std::vector<ListEntry> entries;
        EXPECT_NE(snapshot, nullptr);
        for (int i = 0; i < count; ++i) {
            char name[64] = {};
            int status = -1;
            EXPECT_EQ(
                Ostrel_DeviceListSnapshot_GetNthEntry(snapshot, static_cast<unsigned>(i), name, sizeof name, &status),
                0);
            entries.push_back({name, status});
        }
        if (close) {
            EXPECT_EQ(Ostrel_CloseDeviceListSnapshot(snapshot), 0);
        }
        return entries;
    }

    // A short command that the unit answers (it reads the period back).
    static int Ping(OstrelDevice device) {
        unsigned char reply[8];
        int size = sizeof reply;
        return Ostrel_Device_SendCmdAndGetResponse(device, sim::SimUnit::kCmdGetPeriod, nullptr, 0, reply, &size, 1000);
    }

    OstrelLibrary lib = nullptr;
    std::unique_ptr<sim::SimStackScope> scope;

  private:
    std::unique_ptr<MachineTestLock> m_testLock;
};


// A host with one unit, "Alpha", open on the test's thread.
class OpenUnitTest : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        unit = AddUnit("Alpha");
        device = Open(*unit);
        ASSERT_NE(device, nullptr);
    }

    std::shared_ptr<sim::SimUnit> unit;
    OstrelDevice device = nullptr;
};

} // namespace iface_test
