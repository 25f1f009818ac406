// The byte-stream device: its port claim, the public operations over the
// stack-level half, and the queued-write mode.
#include "ChildProcess.h"
#include "DeviceTestSupport.h"

#include "GDeviceIO.h"
#include "PriorityMutex.h"

#include <gtest/gtest.h>

#include <numeric>

using namespace device_test;

namespace {

const uint8_t kBytes[] = {1, 2, 3, 4, 5};

// Open and Write of a device that lacks the claim: 0, and nothing reaches the stack.
void ExpectNoEffect(RecordingDevice &device) {
    int32_t count = 5;
    EXPECT_EQ(device.Open(nullptr), 0);
    EXPECT_FALSE(device.m_isOpen);
    EXPECT_EQ(device.Write(kBytes, &count), 0);
    EXPECT_EQ(device.opens, 0);
    EXPECT_TRUE(device.written.empty());
}

// ---------------------------------------------------------------- claim

TEST(GDeviceIOPortClaim, TwoDevicesOnOneThreadBothOwnThePort) {
    TestPort port;
    RecordingDevice first(port.Port());
    RecordingDevice second(port.Port());
    EXPECT_TRUE(first.m_ownsPort);
    EXPECT_TRUE(second.m_ownsPort);
    EXPECT_EQ(second.Open(nullptr), 0);
    EXPECT_TRUE(second.m_isOpen);
    EXPECT_EQ(second.opens, 1);
}

TEST(GDeviceIOPortClaim, PortHeldByAnotherProcessIsNotClaimed) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "cross-process mutexes are outside ThreadSanitizer's model";
#endif
#ifdef _WIN32
    constexpr uint32_t kHoldMs = 15000; // the helper is slow under Wine
#else
    constexpr uint32_t kHoldMs = 2000;
#endif
    TestPort port;
    const std::string marker = ChildProcess::NewMarkerPath("claim");
    ChildProcess child;
    ASSERT_TRUE(child.Start({"hold-mutex", port.NarrowMutexName(), marker, std::to_string(kHoldMs), "release"}));
    ASSERT_TRUE(ChildProcess::WaitForFile(marker, ChildProcess::StartupAllowanceMs()));

    RecordingDevice device(port.Port());
    EXPECT_FALSE(device.m_ownsPort);
    ExpectNoEffect(device);
    EXPECT_EQ(child.WaitForExit(120000), 0);
    ChildProcess::RemoveFile(marker);
}

TEST(GDeviceIOPortClaimConcurrency, ClaimIsTheLocationWithoutBackslashes) {
    TestPort port(L"\\\\.\\");
    const std::wstring name = GDeviceIO::PortMutexName(port.Port());
    EXPECT_EQ(name, L"DeviceMutex." + port.Location().substr(4)); // after the prefix "\\.\"

    RecordingDevice device(port.Port());
    ASSERT_TRUE(device.m_ownsPort);
    Platform::WaitResult elsewhere = Platform::WaitResult::Acquired;
    OnOtherThread([&] {
        Platform::Handle mutex = CreateNamedMutex(name.c_str());
        elsewhere = Platform::WaitForMutex(mutex, 1);
        if (Platform::IsAcquired(elsewhere))
            Platform::ReleaseMutex(mutex);
        Platform::CloseHandle(mutex);
    });
    EXPECT_EQ(elsewhere, Platform::WaitResult::TimedOut);
}

TEST(GDeviceIOPortClaimConcurrency, SecondDeviceOnAnotherThreadDoesNotOwnThePort) {
    TestPort port;
    ClaimingThread<RecordingDevice> first(port.Port());
    ASSERT_TRUE(first.Owns());

    RecordingDevice second(port.Port());
    EXPECT_FALSE(second.m_ownsPort);
    ExpectNoEffect(second);

    // Once the first claim has ended, the refused device still does nothing
    // and keeps no acquisition behind: a third thread claims the port.
    first.Finish();
    ExpectNoEffect(second);
    bool thirdOwns = false;
    OnOtherThread([&] { thirdOwns = RecordingDevice(port.Port()).m_ownsPort; });
    EXPECT_TRUE(thirdOwns);
}

TEST(GDeviceIOPortClaimConcurrency, OperationsFromAnotherThreadHaveNoEffect) {
    TestPort port;
    RecordingDevice device(port.Port());
    ASSERT_EQ(device.Open(nullptr), 0);
    int32_t results = -1;
    OnOtherThread([&] {
        int32_t count = 5;
        results = device.Write(kBytes, &count) | device.Close() | device.ClearIO();
    });
    EXPECT_EQ(results, 0);
    EXPECT_TRUE(device.written.empty());
    EXPECT_EQ(device.closes, 0);
    EXPECT_TRUE(device.m_isOpen);
}

// ---------------------------------------------------------------- operations

TEST(GDeviceIO, FailedStackOpenOrCloseLeavesTheOpenFlagAlone) {
    TestPort port;
    RecordingDevice device(port.Port());
    device.openResult = 7;
    EXPECT_EQ(device.Open(nullptr), 7);
    EXPECT_FALSE(device.m_isOpen);

    device.openResult = 0;
    ASSERT_EQ(device.Open(nullptr), 0);
    device.closeResult = -1;
    EXPECT_EQ(device.Close(), -1);
    EXPECT_TRUE(device.m_isOpen);
    device.closeResult = 0;
    EXPECT_EQ(device.Close(), 0);
    EXPECT_FALSE(device.m_isOpen);
}

TEST(GDeviceIO, WriteStringWritesTheTextWithoutItsTerminator) {
    TestPort port;
    RecordingDevice device(port.Port());
    EXPECT_EQ(device.WriteString(""), 0);
    EXPECT_EQ(device.WriteString("abc"), 0);
    EXPECT_EQ(device.writeCounts, (std::vector<int32_t>{0, 3}));
    EXPECT_EQ(device.written, (Bytes{'a', 'b', 'c'}));
}

TEST(GDeviceIO, DefaultsOfTheBaseDevice) {
    TestPort port;
    GDeviceIO device(port.Port());
    EXPECT_EQ(device.SetIOPriority(kPriorityLevelTimeCritical), 4);
    EXPECT_EQ(device.m_ioPriority, 4);
    EXPECT_TRUE(device.OSInitialize());
    EXPECT_EQ(device.ClearIO(), -1); // no stack-side data to drop
    int32_t count = 5;
    EXPECT_EQ(device.SendQueued(kBytes, &count), -1);
    EXPECT_EQ(device.Open(nullptr), 0);
    device.UpdateReady();
    EXPECT_TRUE(device.m_ready);
}

// ---------------------------------------------------------------- queued writes

class GDeviceIOQueueConcurrency : public ::testing::TestWithParam<bool> {};

// Writes in chunks of varying size that stay below the queue's capacity, so
// the ring never has to overwrite.
Bytes WriteChunks(RecordingDevice &device, uint8_t seed) {
    Bytes all;
    for (int32_t size = 1; all.size() + size < 30000; size = size * 3 % 2048 + 1) {
        Bytes chunk(static_cast<size_t>(size));
        std::iota(chunk.begin(), chunk.end(), static_cast<uint8_t>(seed + all.size()));
        int32_t count = size;
        EXPECT_EQ(device.Write(chunk.data(), &count), 0);
        EXPECT_EQ(count, size);
        all.insert(all.end(), chunk.begin(), chunk.end());
    }
    return all;
}

TEST_P(GDeviceIOQueueConcurrency, WorkerDeliversQueuedBytesInOrder) {
    TestPort port;
    RecordingDevice device(port.Port());
    device.m_queuedMode = true;
    device.m_signalledQueue = GetParam();
    ASSERT_EQ(device.Open(nullptr), 0);
    ASSERT_NE(device.m_queue, nullptr);
    EXPECT_EQ(device.m_queueLock->ceiling, kPriorityLevelHighest);

    Bytes expected = WriteChunks(device, 0);
    ASSERT_TRUE(WaitUntil([&] { return device.QueuedSize() >= expected.size(); }));
    EXPECT_TRUE(device.written.empty()); // nothing went straight to the stack
    ASSERT_EQ(device.Close(), 0);
    EXPECT_EQ(device.m_queue, nullptr);
    EXPECT_EQ(device.m_pollThread, nullptr);
    EXPECT_EQ(device.m_signalThread, nullptr);

    // Reopened, the device is still in queued mode.
    ASSERT_EQ(device.Open(nullptr), 0);
    ASSERT_TRUE(device.m_queuedMode);
    const Bytes more = WriteChunks(device, 77);
    expected.insert(expected.end(), more.begin(), more.end());
    ASSERT_TRUE(WaitUntil([&] { return device.QueuedSize() >= expected.size(); }));
    std::lock_guard<std::mutex> lock(device.mutex);
    EXPECT_EQ(device.sentQueued, expected);
}

INSTANTIATE_TEST_SUITE_P(Workers, GDeviceIOQueueConcurrency, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? "Signalled" : "Polling";
                         });

} // namespace
