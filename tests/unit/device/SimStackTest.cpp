// The simulated stack: its search, and a GBluetoothDevice talking to a
// simulated unit through it.
#include "DeviceTestSupport.h"

#include "BluetoothStacks.h"
#include "GBluetoothDevice.h"
#include "SimStack.h"
#include "TraceCapture.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace device_test;

namespace {

// The init command with counter 0xFF, as the host sends it first.
const Bytes kInitCommand = {0x40, 0x19, 0xFF, 0x88, 0x1A, 0x05, 0x4A, 0x06, 0x49, 0x07, 0x48, 0x08, 0x47,
                            0x09, 0x46, 0x0A, 0x45, 0x0B, 0x44, 0x0C, 0x43, 0x0D, 0x42, 0x0E, 0x41};
// Start measurements, counter 0xFE.
const Bytes kStartCommand = {0x40, 0x05, 0xFE, 0x5B, 0x18};

// Collects what the receive callback gets, and notes calls after closing.
struct Receiver {
    static void OnBytes(const uint8_t *bytes, int32_t count, void *context) {
        auto *self = static_cast<Receiver *>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->bytes.insert(self->bytes.end(), bytes, bytes + count);
        self->threads.push_back(std::this_thread::get_id());
        if (self->closed)
            ++self->callsAfterClose;
    }
    size_t Size() {
        std::lock_guard<std::mutex> lock(mutex);
        return bytes.size();
    }

    std::mutex mutex;
    Bytes bytes;
    std::vector<std::thread::id> threads;
    std::atomic<bool> closed{false};
    std::atomic<int> callsAfterClose{0};
};

int32_t WriteBytes(GDeviceIO &device, const Bytes &bytes) {
    int32_t count = static_cast<int32_t>(bytes.size());
    return device.Write(bytes.data(), &count);
}

// A device for the unit, initialised and with the receiver registered.
std::unique_ptr<GBluetoothDevice> MakeDevice(const GPortRef &port, Receiver &receiver) {
    auto device = std::make_unique<GBluetoothDevice>(port);
    device->OSInitialize();
    device->SetIOPriority(kPriorityLevelTimeCritical);
    device->SetReceiveCallback(&Receiver::OnBytes, &receiver);
    return device;
}

TEST(SimStack, SearchListsUnitsAsARealSearchWould) {
    const int32_t savedType = BluetoothStackType.load();
    {
        sim::SimStackScope scope;
        auto plain = scope.AddUnit("12345");
        auto unnamed = scope.AddUnit(
            std::make_shared<sim::SimUnit>("", sim::SimUnit::Address{0x00, 0xAB, 0x0C, 0xD0, 0x01, 0xEF}));
        std::vector<GPortRef> ports;
        EnumeratePorts(ports);
        ASSERT_EQ(ports.size(), 2u);

        const GPortRef &first = ports[0];
        EXPECT_EQ(first.GetPortType(), 2);
        EXPECT_EQ(first.GetDeviceName(), L"12345");
        EXPECT_EQ(first.GetAltName(), L"");
        EXPECT_EQ(first.GetLocation(), sim::SimStack::AddressText(plain->BluetoothAddress()));
        ASSERT_EQ(first.GetPortDataLength(), static_cast<int32_t>(sizeof(sim::SimPortRecord)));
        sim::SimPortRecord record;
        std::memcpy(&record, first.GetPortData(), sizeof record);
        EXPECT_EQ(std::memcmp(record.address, plain->BluetoothAddress().data(), 6), 0);

        EXPECT_EQ(ports[1].GetLocation(), L"00ab0cd001ef"); // leading zeros, lowercase
        EXPECT_EQ(ports[1].GetDeviceName(), L"");           // the name is the prefix and a blank
    }
    EXPECT_EQ(BluetoothStackType.load(), savedType);
    EXPECT_EQ(FindStackBackend(kStackSimulated), nullptr);
    EXPECT_TRUE(sim::SimStack::Units().empty());
}

TEST(SimStackConcurrency, InitExchangeEndToEndAndNoCallbackAfterClose) {
    sim::SimStackScope scope;
    auto unit = scope.AddUnit("4711");
    std::vector<GPortRef> ports;
    EnumeratePorts(ports);
    ASSERT_EQ(ports.size(), 1u);
    Receiver receiver;
    auto device = MakeDevice(ports[0], receiver);

    ASSERT_EQ(device->Open(nullptr), 0);
    EXPECT_TRUE(device->m_isOpen);
    EXPECT_TRUE(unit->IsConnected());
    ASSERT_EQ(WriteBytes(*device, kInitCommand), 0);
    ASSERT_TRUE(WaitUntil([&] { return receiver.Size() >= 26; }));
    {
        std::lock_guard<std::mutex> lock(receiver.mutex);
        const Bytes &r = receiver.bytes;
        EXPECT_EQ(r[0] & 0xE0, 0xA0);
        EXPECT_EQ(r[1], 26);
        EXPECT_EQ(r[4], 0x1A);
        EXPECT_EQ(r[5], 0xFF); // the init command's counter
        for (int k = 0; k < 10; ++k) {
            EXPECT_EQ(r[6 + 2 * k], 0x55 + k);
            EXPECT_EQ(r[7 + 2 * k], 0xAA - k);
        }
        for (std::thread::id id : receiver.threads)
            EXPECT_NE(id, std::this_thread::get_id());
    }

    // With measurements streaming, callbacks keep coming until Close.
    ASSERT_EQ(WriteBytes(*device, kStartCommand), 0);
    ASSERT_TRUE(WaitUntil([&] { return receiver.Size() > 26 + 50; }));
    ASSERT_EQ(device->Close(), 0);
    receiver.closed = true;
    EXPECT_FALSE(device->m_isOpen);
    EXPECT_FALSE(unit->IsConnected());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(receiver.callsAfterClose, 0);
}

TEST(SimStackConcurrency, UnitClosingTheLinkMakesWritesFail) {
    sim::SimStackScope scope;
    auto unit = scope.AddUnit();
    Receiver receiver;
    auto device = MakeDevice(scope.PortOf(*unit), receiver);
    ASSERT_EQ(device->Open(nullptr), 0);

    unit->CloseLink();
    ASSERT_TRUE(WaitUntil([&] { return unit->LinkClosedByUnit(); }));
    int32_t count = static_cast<int32_t>(kInitCommand.size());
    EXPECT_EQ(device->Write(kInitCommand.data(), &count), -1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(device->Close(), 0);
}

TEST(SimStackConcurrency, DeviceWithoutTheClaimNeitherConnectsNorSends) {
    sim::SimStackScope scope;
    auto unit = scope.AddUnit();
    ClaimingThread<GBluetoothDevice> holder(scope.PortOf(*unit));
    ASSERT_TRUE(holder.Owns());

    Receiver receiver;
    auto device = MakeDevice(scope.PortOf(*unit), receiver);
    EXPECT_EQ(device->Open(nullptr), 0);
    EXPECT_FALSE(device->m_isOpen);
    EXPECT_FALSE(unit->IsConnected());
    EXPECT_EQ(WriteBytes(*device, kInitCommand), 0);
    EXPECT_EQ(unit->TotalCommands(), 0u);
}

TEST(SimStack, OpenFailsLikeARealStack) {
    sim::SimStackScope scope;
    auto unit = scope.AddUnit("777");
    TraceCapture trace;
    Receiver receiver;

    GBluetoothDevice uninitialised(scope.PortOf(*unit));
    uninitialised.SetReceiveCallback(&Receiver::OnBytes, &receiver);
    EXPECT_EQ(uninitialised.Open(nullptr), -1);

    auto noReceiver = MakeDevice(scope.PortOf(*unit), receiver);
    noReceiver->SetReceiveCallback(nullptr, nullptr);
    EXPECT_EQ(noReceiver->Open(nullptr), -1);
    EXPECT_TRUE(trace.Contains(L"Error opening Bluetooth device with id 777"));

    // One link per unit: a second device of the same thread (which shares
    // the claim) cannot open a unit that is connected.
    auto first = MakeDevice(scope.PortOf(*unit), receiver);
    auto second = MakeDevice(scope.PortOf(*unit), receiver);
    ASSERT_EQ(first->Open(nullptr), 0);
    EXPECT_EQ(second->Open(nullptr), -1);
    ASSERT_EQ(first->Close(), 0);
    EXPECT_EQ(second->Open(nullptr), 0);

    // A unit no longer in range.
    sim::SimStack::RemoveUnit(unit.get());
    auto gone = MakeDevice(scope.PortOf(*unit), receiver);
    EXPECT_EQ(gone->Open(nullptr), -1);
    EXPECT_FALSE(gone->m_isOpen);
}

} // namespace
