// Devices belong to the thread that opened them: the guard, the device lock
// and its retries, and closing at Ostrel_Uninit.
#include "InterfaceTestSupport.h"

#include "COstrelLibrary.h"
#include "LiveDevices.h"
#include "TraceCapture.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace iface_test {
namespace {

using sim::SimUnit;

class InterfaceLockConcurrencyTest : public HostTest {};

TEST_F(InterfaceLockConcurrencyTest, GuardedCallsFromAnotherThreadAreRefused) {
    auto unit = AddUnit("Alpha");
    OstrelDevice device = Open(*unit);
    ASSERT_NE(device, nullptr);
    const uint64_t commands = unit->TotalCommands();

    OnOtherThread([&] {
        EXPECT_EQ(Ping(device), -1);
        EXPECT_EQ(Ostrel_Device_SendCmd(device, SimUnit::kCmdStart, nullptr, 0, nullptr), -1);
        int first = 9;
        int last = 9;
        EXPECT_EQ(Ostrel_Device_GetChannelRange(device, &first, &last), -1);
        EXPECT_EQ(first, 9);
        unsigned char averaging = 0xA5;
        EXPECT_EQ(Ostrel_Device_DDSMem_GetAveraging(device, 3, &averaging), -1);
        EXPECT_EQ(averaging, 0xA5);
        EXPECT_EQ(Ostrel_Diags_GetNumOutputTraceBytesAvailable(device), -1);
        EXPECT_EQ(Ostrel_Device_Unlock(device), -1);
        EXPECT_EQ(Ostrel_Device_Close(device), -1);
        // The calibration exports take no lock: any thread may use them.
        EXPECT_DOUBLE_EQ(Ostrel_Device_ConvertToVoltage(device, 3, 32768), 2.5);
    });

    EXPECT_EQ(unit->TotalCommands(), commands);
    EXPECT_TRUE(unit->IsConnected());
    EXPECT_EQ(Ping(device), 0);
    EXPECT_EQ(Ostrel_Device_Close(device), 0);
}

TEST_F(InterfaceLockConcurrencyTest, LockAndUnlockNestOnTheOpeningThread) {
    auto unit = AddUnit("Alpha");
    OstrelDevice device = Open(*unit);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(Ostrel_Device_Lock(device, 0), 0);
    EXPECT_EQ(Ostrel_Device_Lock(device, 100), 0);
    EXPECT_EQ(Ping(device), 0);
    EXPECT_EQ(Ostrel_Device_Unlock(device), 0);
    EXPECT_EQ(Ostrel_Device_Unlock(device), 0);
    // The opening thread keeps its claim: the device is still its own.
    EXPECT_EQ(Ping(device), 0);
    EXPECT_EQ(OnOtherThread([&] { return Ping(device); }), -1);
    EXPECT_EQ(Ostrel_Device_Close(device), 0);
}

// The tick count that ends a trace line such as "... time is 1234\n".
uint32_t TrailingNumber(const std::wstring &line) {
    size_t end = line.find_last_of(L"0123456789");
    size_t begin = line.find_last_not_of(L"0123456789", end);
    return static_cast<uint32_t>(std::wcstoul(line.substr(begin + 1, end - begin).c_str(), nullptr, 10));
}

TEST_F(InterfaceLockConcurrencyTest, UnlockWithoutALockGivesUpTheOpeningThreadsClaim) {
    auto unit = AddUnit("Alpha");
    OstrelDevice device = Open(*unit);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(OnOtherThread([&] { return Ping(device); }), -1);
    EXPECT_EQ(Ostrel_Device_Unlock(device), 0);
    // The device's lock is now free between calls, for any thread.
    EXPECT_EQ(OnOtherThread([&] { return Ping(device); }), 0);
    EXPECT_EQ(Ping(device), 0);
    EXPECT_EQ(Ostrel_Device_Close(device), 0);
    EXPECT_FALSE(unit->IsConnected());
}

TEST_F(InterfaceLockConcurrencyTest, LockFromAnotherThreadRetriesUntilItsTimeOut) {
    auto unit = AddUnit("Alpha");
    OstrelDevice device = Open(*unit);
    ASSERT_NE(device, nullptr);

    TraceCapture trace(10);
    const auto start = Clock::now();
    EXPECT_EQ(OnOtherThread([&] { return Ostrel_Device_Lock(device, 250); }), -1);
    const int64_t elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, 230); // the tick count may be coarse (15.6 ms on Windows)
    EXPECT_LT(elapsed, 5000);

    std::vector<std::wstring> firsts;
    std::vector<std::wstring> retries;
    size_t failures = 0;
    for (const std::wstring &line : trace.Lines()) {
        if (line.find(L"First lock attempt at time ") != std::wstring::npos)
            firsts.push_back(line);
        if (line.find(L"Lock retry time is ") != std::wstring::npos)
            retries.push_back(line);
        if (line.find(L"Very, very, very bad code detected - lock failed, now retry.") != std::wstring::npos)
            ++failures;
    }
    // One failure line per attempt, a retry line before each later attempt.
    ASSERT_EQ(firsts.size(), 1u);
    EXPECT_EQ(failures, retries.size() + 1);
    EXPECT_GE(failures, 2u);
    EXPECT_LE(failures, 8u);

    // Attempts about 100 ms apart, none after the time-out.
    const uint32_t t0 = TrailingNumber(firsts[0]);
    uint32_t previous = t0;
    for (size_t i = 0; i < retries.size(); ++i) {
        const uint32_t at = TrailingNumber(retries[i]) - t0;
        if (i == 0) {
            EXPECT_GE(at, 80u);
        }
        EXPECT_GE(at, previous - t0);
        EXPECT_LE(at, 250u + 250u);
        previous = TrailingNumber(retries[i]);
    }
    EXPECT_EQ(Ping(device), 0);
}

TEST_F(InterfaceLockConcurrencyTest, LockOnTheOpeningThreadKeepsOtherThreadsOutUntilUnlock) {
    auto unit = AddUnit("Alpha");
    OstrelDevice device = Open(*unit);
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(Ostrel_Device_Lock(device, 0), 0);
    EXPECT_EQ(OnOtherThread([&] { return Ostrel_Device_Lock(device, 0); }), -1);
    EXPECT_EQ(Ostrel_Device_Unlock(device), 0);
    EXPECT_EQ(Ping(device), 0);
}

TEST_F(InterfaceLockConcurrencyTest, DeviceWhoseOpeningThreadEndedIsTakenOverByTheNextCaller) {
    auto unit = AddUnit("Alpha");
    ASSERT_EQ(Search(), 0);
    OstrelDevice device = OnOtherThread([&] { return Ostrel_Device_Open(lib, "Alpha"); });
    ASSERT_NE(device, nullptr);
    // The thread ended holding the device's lock: it was abandoned, and an
    // abandoned lock counts as had.
    EXPECT_EQ(Ping(device), 0);
    EXPECT_EQ(OnOtherThread([&] { return Ping(device); }), 0);
    EXPECT_EQ(Ostrel_Device_Close(device), 0);
    EXPECT_FALSE(unit->IsConnected());
}

TEST_F(InterfaceLockConcurrencyTest, UninitOnTheOpeningThreadClosesEveryDevice) {
    auto measuring = AddUnit("Measuring");
    auto idle = AddUnit("Idle");
    OstrelDevice first = Open(*measuring);
    OstrelDevice second = Ostrel_Device_Open(lib, "Idle");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(Ostrel_Device_SendCmd(first, SimUnit::kCmdStart, nullptr, 0, nullptr), 0);
    ASSERT_TRUE(WaitUntil([&] { return Ostrel_Device_GetNumMeasurementsAvailable(first, 3) > 0; }, 2000));

    ASSERT_EQ(Ostrel_Uninit(lib), 0);
    lib = nullptr;
    EXPECT_EQ(measuring->CommandCount(SimUnit::kCmdStop), 1u);
    EXPECT_FALSE(measuring->IsStreaming());
    EXPECT_EQ(idle->CommandCount(SimUnit::kCmdStop), 0u);
    EXPECT_FALSE(measuring->IsConnected());
    EXPECT_FALSE(idle->IsConnected());
}

TEST_F(InterfaceLockConcurrencyTest, UninitOnAnotherThreadLeavesTheDeviceAndReturns) {
    auto unit = AddUnit("Alpha");
    OstrelDevice device = Open(*unit);
    ASSERT_NE(device, nullptr);

    const auto start = Clock::now();
    EXPECT_EQ(OnOtherThread([&] { return Ostrel_Uninit(lib); }), 0);
    EXPECT_LT(MillisecondsSince(start), 5000);
    lib = nullptr;
    // The record stays allocated with its link up: only its thread could
    // have closed it, and the instance that knew it is gone.
    EXPECT_TRUE(unit->IsConnected());
    EXPECT_EQ(Ping(device), -1);
    // No instance knows it any more: the calibration exports refuse it too.
    EXPECT_EQ(Ostrel_Device_ConvertToVoltage(device, 3, 32768), 0.0);
    EXPECT_EQ(Ostrel_Device_CalibrateData(device, 3, 2.5), 0.0);
#if defined(__SANITIZE_ADDRESS__)
    // Left allocated on purpose; nothing refers to it any more.
    __lsan_ignore_object(device);
#endif
}

TEST_F(InterfaceLockConcurrencyTest, CalibrationOnAnotherThreadWhileTheOwnerChangesTheDataSheet) {
    auto unit = AddUnit("Alpha");
    OstrelDevice device = Open(*unit);
    ASSERT_NE(device, nullptr);
    // Channel 4 page 0 is 0 + 80 x volts; page 1 is made 1 + 2 x volts.
    ASSERT_EQ(Ostrel_Device_DDSMem_SetCalPage(device, 4, 1, 1.0f, 2.0f, 0.0f, "units"), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> calls{0};
    std::atomic<int> wrong{0};
    std::thread calibrator([&] {
        while (!stop) {
            const double value = Ostrel_Device_CalibrateData(device, 4, 2.5);
            if (value != 200.0 && value != 6.0 && value != 2.5 * 3.0f + 1.0f)
                ++wrong;
            ++calls;
        }
    });
    ASSERT_TRUE(WaitUntil([&] { return calls > 0; }, 10000)); // a loaded machine starts threads late
    for (int i = 0; i < 2000 && !HasFatalFailure(); ++i) {
        ASSERT_EQ(Ostrel_Device_DDSMem_SetActiveCalPage(device, 4, i % 2), 0);
        ASSERT_EQ(Ostrel_Device_DDSMem_SetCalPage(device, 4, 1, 1.0f, (i % 4 < 2) ? 2.0f : 3.0f, 0.0f, "u"), 0);
    }
    stop = true;
    calibrator.join();
    EXPECT_GT(calls, 0);
    EXPECT_EQ(wrong, 0);
}

TEST_F(InterfaceLockConcurrencyTest, CalibratingThreadsNeverHoldUpTheOwnersChangesOrItsClose) {
    auto unit = AddUnit("Alpha");
    OstrelDevice device = Open(*unit);
    ASSERT_NE(device, nullptr);
    // The calibrating threads give up after a while, so that a starved change
    // shows as a slow one rather than as a hang.
    const auto giveUp = Clock::now() + std::chrono::seconds(20);
    std::atomic<bool> stop{false};
    std::atomic<int64_t> calls{0};
    const auto calibrate = [&] {
        while (!stop && Clock::now() < giveUp)
            for (int i = 0; i < 64; ++i, ++calls)
                Ostrel_Device_CalibrateData2(device, 3, 32768);
    };
    std::thread first(calibrate);
    std::thread second(calibrate);
    ASSERT_TRUE(WaitUntil([&] { return calls > 10000; }, 10000));

    int64_t slowest = 0;
    for (int i = 0; i < 100 && !HasFailure(); ++i) {
        const auto start = Clock::now();
        EXPECT_EQ(Ostrel_Device_DDSMem_SetActiveCalPage(device, 3, i % 2), 0);
        slowest = std::max(slowest, MillisecondsSince(start));
    }
    const auto start = Clock::now();
    EXPECT_EQ(Ostrel_Device_Close(device), 0);
    const int64_t close = MillisecondsSince(start);
    stop = true;
    first.join();
    second.join();
    // Generous bounds for a loaded machine and emulation; starved, each would
    // take as long as the calibrating threads kept on.
    EXPECT_LT(slowest, 1000);
    EXPECT_LT(close, 2000);
}

// A lookup that comes while a change waits goes after it, however busy the
// lookups already in progress keep the lock.
TEST(LiveDevicesConcurrency, WaitingChangeGoesBeforeLookupsThatComeAfterIt) {
    COstrelLibrary library;
    COstrelDevice device(library);
    LiveDevices::Add(&device);
    std::atomic<int> step{0}, firstAt{0}, changeAt{0}, secondAt{0};
    std::atomic<bool> firstIn{false}, release{false};
    std::thread first([&] {
        LiveDevices::With(&device, [&](COstrelDevice &) {
            firstIn = true;
            while (!release)
                std::this_thread::yield();
            firstAt = ++step;
            return 0.0;
        });
    });
    EXPECT_TRUE(WaitUntil([&] { return firstIn.load(); }, 10000));
    std::thread change([&] { LiveDevices::Changing([&] { changeAt = ++step; }); });
    EXPECT_TRUE(WaitUntil([] { return LiveDevices::ChangeUnderWay(); }, 10000));
    std::thread second([&] {
        LiveDevices::With(&device, [&](COstrelDevice &) {
            secondAt = ++step;
            return 0.0;
        });
    });
    // Time for the second lookup to overtake the change, were it let in.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    release = true;
    first.join();
    change.join();
    second.join();
    LiveDevices::Remove(&device);
    EXPECT_EQ(firstAt, 1);
    EXPECT_EQ(changeAt, 2);
    EXPECT_EQ(secondAt, 3);
}

TEST_F(InterfaceLockConcurrencyTest, CalibrationOnAnotherThreadWhileTheDeviceCloses) {
    auto unit = AddUnit("Alpha");
    OstrelDevice device = Open(*unit);
    ASSERT_NE(device, nullptr);
    std::atomic<bool> stop{false};
    std::atomic<int> calls{0};
    std::atomic<int> wrong{0};
    std::thread calibrator([&] {
        while (!stop) {
            const double value = Ostrel_Device_CalibrateData2(device, 3, 32768);
            // Channel 3 reads K0 + K1 x 2.5 V = -40 + 33 x 2.5 while the device
            // is open, and the refusal after: never anything else.
            if (value != 0.0 && value != 42.5)
                ++wrong;
            ++calls;
        }
    });
    ASSERT_TRUE(WaitUntil([&] { return calls > 100; }, 2000));
    EXPECT_EQ(Ostrel_Device_Close(device), 0);
    const int atClose = calls;
    ASSERT_TRUE(WaitUntil([&] { return calls > atClose + 100; }, 2000));
    stop = true;
    calibrator.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(Ostrel_Device_CalibrateData2(device, 3, 32768), 0.0);
}

} // namespace
} // namespace iface_test
