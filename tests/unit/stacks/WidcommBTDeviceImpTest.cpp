// The Widcomm device over a fake shim: the order of its shim calls, the
// channel it keeps, and its failure paths.
#include "WidcommBTDeviceImp.h"

#include "../device/DeviceTestSupport.h"
#include "BluetoothStacks.h"
#include "FakeStacks.h"
#include "GBluetoothDevice.h"
#include "TraceCapture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

using stacks_test::FakeWidcommShim;

namespace {

void IgnoreBytes(const uint8_t *, int32_t, void *) {}

class WidcommDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_savedType = BluetoothStackType.load();
        BluetoothStackType = kStackWidcomm;
        uint8_t record[WidI::kRecordSize] = {};
        const uint8_t address[6] = {0x66, 0x55, 0x44, 0x33, 0x22, 0x11}; // least significant first
        std::memcpy(record + WidI::kRecordAddressOffset, address, 6);
        std::strcpy(reinterpret_cast<char *>(record + WidI::kRecordNameOffset), "QuorvelKTRX 4711");
        m_port = GPortRef(m_claim.Location(), L"4711", L"", record, sizeof record);
        m_device = std::make_unique<GBluetoothDevice>(m_port);
        ASSERT_TRUE(m_device->m_ownsPort);
        ASSERT_NE(dynamic_cast<WidcommBTDeviceImp *>(m_device->m_impl), nullptr);
        ASSERT_TRUE(m_device->OSInitialize());
        m_device->SetReceiveCallback(&IgnoreBytes, this);
    }
    void TearDown() override {
        m_device.reset();
        BluetoothStackType = m_savedType;
    }

    // The port lock is balanced when another claim-holder can take it at once.
    bool PortLockIsFree() {
        if (!m_device->TakePortLock())
            return false;
        m_device->ReleasePortLock();
        return true;
    }

    FakeWidcommShim m_shim;
    device_test::TestPort m_claim;
    GPortRef m_port;
    std::unique_ptr<GBluetoothDevice> m_device;
    int32_t m_savedType = kStackNone;
};

} // namespace

TEST_F(WidcommDeviceTest, OpenSearchesTheServiceThenConnectsOnItsChannel) {
    ASSERT_EQ(m_device->Open(nullptr), 0);
    EXPECT_TRUE(m_device->m_isOpen);
    const std::vector<std::string> expected = {"CreateConnection",
                                               "SetReceiveCallback",
                                               "SetEventCallback",
                                               "OpenStack",
                                               "StartServiceDiscovery",
                                               "ContinueDiscovery",
                                               "IsServiceFound",
                                               "GetDiscoveredChannel",
                                               "SetConnectionTarget",
                                               "Connect",
                                               "CloseStack"};
    EXPECT_EQ(m_shim.calls, expected);
    EXPECT_EQ(m_shim.Count("EventCallbackNonZero"), 0u);
    EXPECT_EQ(m_shim.targetAddress, (std::array<unsigned char, 6>{0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(m_shim.targetChannel, 7);
    // The device's own record keeps the channel; the caller's copy does not.
    EXPECT_EQ(m_device->m_portRef.GetPortData()[WidI::kRecordChannelOffset], 7);
    EXPECT_EQ(m_port.GetPortData()[WidI::kRecordChannelOffset], 0);
    EXPECT_TRUE(PortLockIsFree());

    EXPECT_EQ(m_device->Close(), 0);
    EXPECT_FALSE(m_device->m_isOpen);
    EXPECT_EQ(m_device->m_impl->Close(), 0); // a second close disconnects again
    EXPECT_EQ(m_shim.Count("Disconnect"), 2u);
}

TEST_F(WidcommDeviceTest, ServiceNotFoundFailsWithTheLockBalancedAndNoStackLeft) {
    m_shim.serviceFound = false;
    EXPECT_EQ(m_device->Open(nullptr), -1);
    EXPECT_FALSE(m_device->m_isOpen);
    EXPECT_EQ(m_shim.stacksOpen, 0);
    EXPECT_EQ(m_shim.Count("Connect"), 0u);
    EXPECT_TRUE(PortLockIsFree());

    // A second open runs the whole service search again.
    m_shim.serviceFound = true;
    EXPECT_EQ(m_device->Open(nullptr), 0);
    EXPECT_EQ(m_shim.Count("StartServiceDiscovery"), 2u);
}

TEST_F(WidcommDeviceTest, RefusedConnectIsTracedAndOtherResultsPassAsTheyAre) {
    TraceCapture capture;
    m_shim.connectResult = -1;
    EXPECT_EQ(m_device->Open(nullptr), -1);
    EXPECT_EQ(capture.Count(L"WidcommBTDeviceImp.cpp("), 1u);
    EXPECT_TRUE(capture.Contains(L"Error opening Bluetooth device with id 4711"));
    EXPECT_EQ(m_shim.stacksOpen, 0);

    capture.Clear();
    m_shim.connectResult = 3;
    EXPECT_EQ(m_device->Open(nullptr), 3);
    EXPECT_FALSE(m_device->m_isOpen);
    EXPECT_TRUE(capture.Lines().empty());

    m_shim.stackAnswers = false;
    EXPECT_EQ(m_device->Open(nullptr), -1);
    EXPECT_TRUE(PortLockIsFree());
}

TEST_F(WidcommDeviceTest, WriteHandsBackTheShimsCountOrZero) {
    uint8_t bytes[5] = {1, 2, 3, 4, 5};
    int32_t count = 5;
    EXPECT_EQ(m_device->m_impl->Write(bytes, &count), 0);
    EXPECT_EQ(count, 4); // as the shim left it
    m_shim.writeResult = 9;
    count = 5;
    EXPECT_EQ(m_device->m_impl->Write(bytes, &count), 9);
    EXPECT_EQ(count, 0);

    uint8_t buffer[4];
    count = 4;
    EXPECT_EQ(m_device->m_impl->Read(buffer, &count, 0), -1);
    EXPECT_EQ(m_device->m_impl->ClearIO(), 0);
    EXPECT_EQ(m_device->m_impl->GetStatus(), 0);
}

TEST_F(WidcommDeviceTest, WithoutAConnectionEverythingFailsCleanly) {
    m_device->OSUninitialize();
    EXPECT_EQ(m_shim.Count("DestroyConnection"), 1u);
    uint8_t byte = 0;
    int32_t count = 1;
    EXPECT_EQ(m_device->m_impl->Write(&byte, &count), -1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(m_device->Open(nullptr), -1);
    EXPECT_EQ(m_device->m_impl->Close(), -1);
    EXPECT_EQ(m_shim.Count("OpenStack"), 0u);
}

TEST_F(WidcommDeviceTest, RecordOfAnotherStackIsRefusedWithoutReadingPastIt) {
    const uint8_t shortRecord[12] = {};
    device_test::TestPort claim;
    GBluetoothDevice device(GPortRef(claim.Location(), L"x", L"", shortRecord, sizeof shortRecord));
    ASSERT_TRUE(device.OSInitialize());
    EXPECT_EQ(device.Open(nullptr), -1);
    EXPECT_EQ(m_shim.Count("OpenStack"), 0u);
}

TEST_F(WidcommDeviceTest, DestroyingAnOpenDeviceClosesItFirst) {
    ASSERT_EQ(m_device->Open(nullptr), 0);
    m_device.reset();
    ASSERT_GE(m_shim.calls.size(), 2u);
    EXPECT_EQ(m_shim.calls[m_shim.calls.size() - 2], "Disconnect");
    EXPECT_EQ(m_shim.calls.back(), "DestroyConnection");
}
