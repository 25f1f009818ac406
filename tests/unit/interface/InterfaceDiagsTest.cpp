// Diagnostics: the captured bytes exchanged with a unit, and the trace
// threshold.
#include "InterfaceTestSupport.h"

#include "TraceCapture.h"

namespace iface_test {
namespace {

using sim::SimUnit;
using Bytes = std::vector<unsigned char>;

class InterfaceDiagsTest : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        unit = AddUnit("Alpha");
        device = Open(*unit);
        ASSERT_NE(device, nullptr);
    }

    Bytes ReadOutput(int maxCount) {
        Bytes bytes(static_cast<size_t>(std::max(maxCount, 0)) + 1);
        const int n = Ostrel_Diags_ReadOutputTraceBytes(device, bytes.data(), maxCount);
        bytes.resize(static_cast<size_t>(std::max(n, 0)));
        return bytes;
    }
    Bytes ReadInput(int maxCount) {
        Bytes bytes(static_cast<size_t>(std::max(maxCount, 0)) + 1);
        const int n = Ostrel_Diags_ReadInputTraceBytes(device, bytes.data(), maxCount);
        bytes.resize(static_cast<size_t>(std::max(n, 0)));
        return bytes;
    }
    // Waits until the unit has nothing left to deliver, then empties both
    // capture rings.
    void DrainCaptures() {
        uint64_t delivered = 0;
        do {
            delivered = unit->BytesDelivered();
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        } while (unit->BytesDelivered() != delivered);
        ReadOutput(20000);
        ReadInput(20000);
    }

    std::shared_ptr<SimUnit> unit;
    OstrelDevice device = nullptr;
};

TEST_F(InterfaceDiagsTest, CaptureIsOnFromTheOpenAndHoldsEverythingReceived) {
    unsigned char enabled = 0;
    ASSERT_EQ(Ostrel_Diags_GetIOTraceEnableFlag(device, &enabled), 0);
    EXPECT_EQ(enabled, 1);
    // Init response and the data sheets, exactly as the unit sent them.
    ASSERT_TRUE(WaitUntil(
        [&] {
            return static_cast<uint64_t>(Ostrel_Diags_GetNumInputTraceBytesAvailable(device)) == unit->BytesDelivered();
        },
        1000));
    const Bytes input = ReadInput(20000);
    ASSERT_GE(input.size(), 26u);
    EXPECT_EQ(input[0], 0xB8); // the init response
    EXPECT_EQ(input[1], 26);
    EXPECT_EQ(input[4], SimUnit::kCmdInit);
    // Sent: the init command and eight data-sheet reads.
    const int sent = Ostrel_Diags_GetNumOutputTraceBytesAvailable(device);
    EXPECT_EQ(sent, 25 + 8 * 12);
}

TEST_F(InterfaceDiagsTest, OutputCaptureHoldsTheExactCommandBlob) {
    DrainCaptures();
    int signature = -1;
    ASSERT_EQ(Ostrel_Device_SendCmd(device, SimUnit::kCmdStart, nullptr, 0, &signature), 0);
    ASSERT_EQ(Ostrel_Diags_GetNumOutputTraceBytesAvailable(device), 5);
    const Bytes sent = ReadOutput(100);
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[0], 0x40);
    EXPECT_EQ(sent[1], 5);
    EXPECT_EQ(sent[2], signature);
    EXPECT_EQ(sent[4], SimUnit::kCmdStart);
    EXPECT_EQ(sent, unit->LastCommand());
    EXPECT_EQ(unit->BadChecksumCount(), 0u);
    EXPECT_EQ(Ostrel_Diags_GetNumOutputTraceBytesAvailable(device), 0);
    ASSERT_EQ(Ostrel_Device_SendCmd(device, SimUnit::kCmdStop, nullptr, 0, nullptr), 0);
}

TEST_F(InterfaceDiagsTest, InputCaptureHoldsTheUnitsRawBytes) {
    DrainCaptures();
    const uint64_t before = unit->BytesDelivered();
    int signature = -1;
    ASSERT_EQ(Ostrel_Device_SendCmd(device, SimUnit::kCmdGetPeriod, nullptr, 0, &signature), 0);
    unsigned char response[8];
    int size = sizeof response;
    unsigned char echo = 0;
    unsigned char error = 0;
    ASSERT_EQ(Ostrel_Device_GetNextResponse(device, response, &size, &echo, &error, &signature, 1000), 0);

    const Bytes received = ReadInput(100);
    ASSERT_EQ(received.size(), unit->BytesDelivered() - before);
    ASSERT_EQ(received.size(), 10u);
    EXPECT_EQ(received[0], 0x98); // a response in one blob
    EXPECT_EQ(received[1], 10);
    EXPECT_EQ(received[4], SimUnit::kCmdGetPeriod);
    EXPECT_EQ(received[5], signature);
    EXPECT_EQ(received[6], SimUnit::kDefaultPeriodTicks);
}

TEST_F(InterfaceDiagsTest, SmallerMaximumLeavesTheRest) {
    DrainCaptures();
    ASSERT_EQ(Ping(device), 0);
    const Bytes whole = unit->LastCommand();
    ASSERT_EQ(whole.size(), 5u);
    const Bytes head = ReadOutput(2);
    EXPECT_EQ(head, Bytes(whole.begin(), whole.begin() + 2));
    EXPECT_EQ(Ostrel_Diags_GetNumOutputTraceBytesAvailable(device), 3);
    // A negative or zero maximum copies nothing.
    unsigned char untouched[4] = {0xA5, 0xA5, 0xA5, 0xA5};
    EXPECT_EQ(Ostrel_Diags_ReadOutputTraceBytes(device, untouched, -5), 0);
    EXPECT_EQ(Ostrel_Diags_ReadOutputTraceBytes(device, untouched, 0), 0);
    EXPECT_EQ(Ostrel_Diags_ReadInputTraceBytes(device, untouched, -1), 0);
    EXPECT_EQ(Ostrel_Diags_ReadOutputTraceBytes(device, nullptr, -1), 0);
    EXPECT_EQ(untouched[0], 0xA5);
    EXPECT_EQ(Ostrel_Diags_GetNumOutputTraceBytesAvailable(device), 3);
    EXPECT_EQ(Ostrel_Diags_GetNumInputTraceBytesAvailable(device), 10);
    EXPECT_EQ(Ostrel_Diags_ReadOutputTraceBytes(device, nullptr, 3), -1);
    EXPECT_EQ(ReadOutput(100), Bytes(whole.begin() + 2, whole.end()));
}

TEST_F(InterfaceDiagsTest, RingsFilledPast10000BytesKeepTheNewest10000) {
    DrainCaptures();
    // Out: 50 command blobs of 255 bytes (12750), blob i carrying parameter bytes i.
    for (int i = 0; i < 50; ++i) {
        const Bytes params(250, static_cast<unsigned char>(i));
        ASSERT_EQ(Ostrel_Device_SendCmdAndGetResponse(device, SimUnit::kCmdGetPeriod, params.data(), 250, nullptr,
                                                      nullptr, 5000),
                  0);
    }
    const Bytes out = ReadOutput(20000);
    ASSERT_EQ(out.size(), 10000u);
    EXPECT_EQ(Bytes(out.end() - 255, out.end()), unit->LastCommand());
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 55), Bytes(55, 10)); // the last 55 bytes of blob 10

    // In: the unit's whole memory, 99 response blobs, 25170 bytes.
    DrainCaptures();
    std::vector<unsigned char> memory(24576);
    ASSERT_EQ(Ostrel_Device_NVMemBlk_Read(device, OSTREL_BLOCK_UNIT_MEMORY, memory.data(), 0, 24576, 30000), 0);
    const Bytes in = ReadInput(20000);
    ASSERT_EQ(in.size(), 10000u);
    // The newest bytes end with the last blob: 180 bytes, the memory's last 174.
    EXPECT_EQ(in[10000 - 180], 0x90);
    EXPECT_TRUE(std::equal(memory.end() - 174, memory.end(), in.end() - 174));
    // Before it, 38 whole blobs of 255 bytes and the last 130 of another.
    EXPECT_EQ(in[130], 0x80);
    EXPECT_TRUE(std::equal(memory.end() - 174 - 38 * 249, memory.end() - 174 - 37 * 249, in.begin() + 136));
}

TEST_F(InterfaceDiagsTest, SwitchingTheCaptureOffKeepsWhatItHolds) {
    DrainCaptures();
    ASSERT_EQ(Ping(device), 0); // 5 bytes out, 10 in
    ASSERT_EQ(Ostrel_Diags_SetIOTraceEnableFlag(device, 0), 0);
    unsigned char enabled = 7;
    ASSERT_EQ(Ostrel_Diags_GetIOTraceEnableFlag(device, &enabled), 0);
    EXPECT_EQ(enabled, 0);
    EXPECT_EQ(Ping(device), 0);
    EXPECT_EQ(Ostrel_Diags_GetNumOutputTraceBytesAvailable(device), 5);
    EXPECT_EQ(Ostrel_Diags_GetNumInputTraceBytesAvailable(device), 10);

    ASSERT_EQ(Ostrel_Diags_SetIOTraceEnableFlag(device, 0x80), 0); // any non-zero is on
    ASSERT_EQ(Ostrel_Diags_GetIOTraceEnableFlag(device, &enabled), 0);
    EXPECT_EQ(enabled, 1);
    EXPECT_EQ(Ping(device), 0);
    EXPECT_EQ(Ostrel_Diags_GetNumOutputTraceBytesAvailable(device), 10);
    EXPECT_EQ(Ostrel_Diags_GetNumInputTraceBytesAvailable(device), 20);
    EXPECT_EQ(Ostrel_Diags_GetIOTraceEnableFlag(device, nullptr), -1);
}

TEST_F(InterfaceDiagsTest, ThresholdDecidesWhichTracesAppear) {
    TraceCapture trace(100);
    ASSERT_EQ(Ostrel_Diags_SetDebugTraceThreshold(nullptr, 10), 0);
    int threshold = 0;
    ASSERT_EQ(Ostrel_Diags_GetDebugTraceThreshold(nullptr, &threshold), 0);
    EXPECT_EQ(threshold, 10);
    ASSERT_EQ(Ping(device), 0);
    EXPECT_EQ(trace.Count(L"Blob cmd sent: 1ch"), 1u);

    trace.Clear();
    ASSERT_EQ(Ostrel_Diags_SetDebugTraceThreshold(lib, 11), 0);
    ASSERT_EQ(Ostrel_Diags_GetDebugTraceThreshold(lib, &threshold), 0);
    EXPECT_EQ(threshold, 11);
    ASSERT_EQ(Ping(device), 0);
    EXPECT_EQ(trace.Count(L"Blob cmd sent: "), 0u);
    EXPECT_EQ(Ostrel_Diags_GetDebugTraceThreshold(nullptr, nullptr), -1);
}

} // namespace
} // namespace iface_test
