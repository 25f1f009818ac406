// Opening and closing while another thread holds the device-list mutex.
#include "COstrelLibrary.h"
#include "InterfaceTestSupport.h"

#include "GUtils.h"

#include <condition_variable>
#include <mutex>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace iface_test {
namespace {

using sim::SimUnit;

// A thread that takes and gives back the device-list mutex on request, as
// another user of the library (in this or another process) would.
class ListMutexHolder {
  public:
    ListMutexHolder() : m_thread([this] { Run(); }) {}
    ~ListMutexHolder() {
        Release();
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_quit = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    ListMutexHolder(const ListMutexHolder &) = delete;
    ListMutexHolder &operator=(const ListMutexHolder &) = delete;

    // Returns once the mutex is held.
    void Take() { Set(true); }
    // Returns once it is given back.
    void Release() { Set(false); }

  private:
    void Set(bool hold) {
        std::unique_lock<std::mutex> lock(m_lock);
        m_wanted = hold;
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return m_held == hold; });
    }

    void Run() {
        Platform::Handle mutex = Platform::CreateKernelMutex(DeviceListMutexName());
        std::unique_lock<std::mutex> lock(m_lock);
        while (!m_quit) {
            if (m_wanted != m_held) {
                // Not under m_lock: the list mutex is only ever taken first.
                const bool take = m_wanted;
                lock.unlock();
                const bool held = take ? Platform::IsAcquired(Platform::WaitForMutex(mutex, Platform::kInfinite))
                                       : !Platform::ReleaseMutex(mutex);
                lock.lock();
                m_held = held;
                m_changed.notify_all();
                continue;
            }
            m_changed.wait(lock);
        }
        Platform::CloseHandle(mutex);
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_wanted = false;
    bool m_held = false;
    bool m_quit = false;
    std::thread m_thread;
};

// Calls action once, on the tracing thread, when a trace line containing
// fragment is written.
class TraceTrigger {
  public:
    TraceTrigger(std::wstring fragment, std::function<void()> action)
        : m_fragment(std::move(fragment)), m_action(std::move(action)), m_threshold(DebugTraceThreshold.load()) {
        Ostrel_Diags_SetDebugTraceThreshold(nullptr, 10);
        SetTraceCaptureHook(&TraceTrigger::OnLine, this);
    }
    ~TraceTrigger() {
        SetTraceCaptureHook(nullptr, nullptr);
        Ostrel_Diags_SetDebugTraceThreshold(nullptr, m_threshold);
    }
    TraceTrigger(const TraceTrigger &) = delete;
    TraceTrigger &operator=(const TraceTrigger &) = delete;

  private:
    static void OnLine(const wchar_t *text, void *context) {
        auto *self = static_cast<TraceTrigger *>(context);
        if (std::wstring(text).find(self->m_fragment) != std::wstring::npos && !self->m_fired.exchange(true))
            self->m_action();
    }

    std::wstring m_fragment;
    std::function<void()> m_action;
    int32_t m_threshold;
    std::atomic<bool> m_fired{false};
};

class InterfaceRegistryConcurrencyTest : public HostTest {};

TEST_F(InterfaceRegistryConcurrencyTest, GuardedCallsAreRefusedWhileTheListMutexIsHeldElsewhere) {
    auto unit = AddUnit("Alpha");
    OstrelDevice device = Open(*unit);
    ASSERT_NE(device, nullptr);
    ListMutexHolder holder;
    holder.Take();
    const auto start = Clock::now();
    EXPECT_EQ(Ping(device), -1);
    EXPECT_GE(MillisecondsSince(start), 450); // the guard's wait
    EXPECT_EQ(Ostrel_Device_Close(device), -1);
    // The calibration exports do not use the list mutex.
    EXPECT_EQ(Ostrel_Device_ConvertToVoltage(device, 3, 32768), 2.5);
    holder.Release();
    EXPECT_EQ(Ping(device), 0);
}

TEST_F(InterfaceRegistryConcurrencyTest, OpenWaitsToRegisterUntilTheListMutexIsFree) {
    auto unit = AddUnit("Alpha");
    ASSERT_EQ(Search(), 0);
    ListMutexHolder holder;
    holder.Take();
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(2000));
        holder.Release();
    });
    const auto start = Clock::now();
    OstrelDevice device = Ostrel_Device_Open(lib, "Alpha");
    const int64_t elapsed = MillisecondsSince(start);
    releaser.join();
    ASSERT_NE(device, nullptr);
    EXPECT_GE(elapsed, 1900); // it cannot register before the release
    // Registered: usable, listed as open, closed by its handle.
    EXPECT_EQ(Ping(device), 0);
    EXPECT_EQ(Snapshot()[0].status, OSTREL_STATUS_OPEN);
    EXPECT_EQ(Ostrel_Device_Close(device), 0);
    EXPECT_FALSE(unit->IsConnected());
}

TEST_F(InterfaceRegistryConcurrencyTest, OpenGivesUpWhenItCannotRegisterAndLeavesNothingOpen) {
    auto unit = AddUnit("Alpha");
    ASSERT_EQ(Search(), 0);
    ListMutexHolder holder;
    holder.Take();
    const auto start = Clock::now();
    OstrelDevice device = Ostrel_Device_Open(lib, "Alpha");
    const int64_t elapsed = MillisecondsSince(start);
    holder.Release();
    EXPECT_EQ(device, nullptr);
    EXPECT_GE(elapsed, 5000);
    EXPECT_LT(elapsed, 30000);
    EXPECT_FALSE(unit->IsConnected());
    EXPECT_EQ(Snapshot()[0].status, OSTREL_STATUS_NOT_OPEN);

    device = Ostrel_Device_Open(lib, "Alpha");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(Ping(device), 0);
}

TEST_F(InterfaceRegistryConcurrencyTest, ReopeningAnOpenUnitWhileTheListIsBusyLeavesTheFirstAlone) {
    auto unit = AddUnit("Alpha");
    OstrelDevice device = Open(*unit);
    ASSERT_NE(device, nullptr);
    ListMutexHolder holder;
    holder.Take();
    // Whether the name is open cannot be told now; the unit's one link can.
    EXPECT_EQ(Ostrel_Device_Open(lib, "Alpha"), nullptr);
    holder.Release();
    EXPECT_TRUE(unit->IsConnected());
    EXPECT_EQ(Ping(device), 0);
    const auto entries = Snapshot();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].status, OSTREL_STATUS_OPEN);
    EXPECT_EQ(Ostrel_Device_Close(device), 0);
}

TEST_F(InterfaceRegistryConcurrencyTest, CloseThatCannotUnregisterLeavesTheDeviceOpenAndUsable) {
    auto unit = AddUnit("Alpha");
    OstrelDevice device = Open(*unit);
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(Ostrel_Device_SendCmd(device, SimUnit::kCmdStart, nullptr, 0, nullptr), 0);

    ListMutexHolder holder;
    {
        // Close sends the stop command after its guard and before it takes
        // the device out of the registry: the list becomes busy right then.
        TraceTrigger trigger(L"Blob cmd sent: 19h", [&] { holder.Take(); });
        EXPECT_EQ(Ostrel_Device_Close(device), -1);
    }
    holder.Release();
    EXPECT_EQ(unit->CommandCount(SimUnit::kCmdStop), 1u);
    EXPECT_TRUE(unit->IsConnected());

    // Still registered and working: collect the responses to the start and
    // stop commands, then talk to it and close it for good.
    for (uint8_t cmd : {SimUnit::kCmdStart, SimUnit::kCmdStop}) {
        unsigned char echo = 0;
        unsigned char error = 0;
        ASSERT_EQ(Ostrel_Device_GetNextResponse(device, nullptr, nullptr, &echo, &error, nullptr, 1000), 0);
        EXPECT_EQ(echo, cmd);
    }
    EXPECT_EQ(Ping(device), 0);
    EXPECT_EQ(Snapshot()[0].status, OSTREL_STATUS_OPEN);
    EXPECT_EQ(Ostrel_Device_ConvertToVoltage(device, 3, 32768), 2.5);
    EXPECT_EQ(Ostrel_Device_Close(device), 0);
    EXPECT_FALSE(unit->IsConnected());
}

TEST_F(InterfaceRegistryConcurrencyTest, UninitWhileTheListIsBusyForgetsTheDevicesItCannotClose) {
    auto unit = AddUnit("Alpha");
    OstrelDevice device = Open(*unit);
    ASSERT_NE(device, nullptr);
    ListMutexHolder holder;
    holder.Take();
    EXPECT_EQ(Ostrel_Uninit(lib), 0);
    lib = nullptr;
    holder.Release();
    EXPECT_TRUE(unit->IsConnected());
    EXPECT_EQ(unit->CommandCount(SimUnit::kCmdStop), 0u);
    EXPECT_EQ(Ping(device), -1);
    EXPECT_EQ(Ostrel_Device_CalibrateData2(device, 3, 32768), 0.0);
#if defined(__SANITIZE_ADDRESS__)
    // Left allocated on purpose; nothing refers to it any more.
    __lsan_ignore_object(device);
#endif
}

} // namespace
} // namespace iface_test
