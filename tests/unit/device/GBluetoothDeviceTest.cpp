// The Bluetooth device over the stack-backend seam: which implementation it
// gets, how it forwards, and what a device without a stack does.
#include "DeviceTestSupport.h"

#include "BluetoothStacks.h"
#include "GBluetoothDevice.h"
#include "StackBackend.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace device_test;

namespace {

// Stack types no real or simulated backend uses.
constexpr int32_t kFakeStack = 0x71;
constexpr int32_t kUnservedStack = 0x72;

// What the fake stack saw, kept outside the implementation so that it
// survives the device.
struct FakeLog {
    std::vector<std::string> calls;
    GBluetoothDevice *owner = nullptr;
    int32_t closeResult = 0;
    int32_t countSeen = 0;
};
FakeLog *g_log = nullptr;

class FakeImp : public IBTDevice {
  public:
    ~FakeImp() override { g_log->calls.push_back("~"); }
    bool OSInitialize() override { return Record("init", true); }
    void OSUninitialize() override { Record("uninit", 0); }
    int32_t Open(void *) override { return Record("open", 0); }
    int32_t Close() override { return Record("close", g_log->closeResult); }
    int32_t ClearIO() override { return Record("clear", 6); }
    int32_t GetStatus() override { return Record("status", 5); }
    int32_t Read(uint8_t *, int32_t *count, int32_t) override {
        g_log->countSeen = *count;
        *count = 2;
        return Record("read", -1);
    }
    int32_t Write(const uint8_t *, int32_t *count) override {
        g_log->countSeen = *count;
        *count = 3;
        return Record("write", 0);
    }

  private:
    template <typename T> T Record(const char *call, T result) {
        g_log->calls.push_back(call);
        return result;
    }
};

void FakeEnumerate(std::vector<GPortRef> &ports) {
    ports.emplace_back(L"001122334455", L"fake", L"", nullptr, 0);
}

IBTDevice *FakeCreate(GBluetoothDevice *owner) {
    g_log->owner = owner;
    return new FakeImp();
}

const StackBackend kFakeBackend = {&FakeEnumerate, &FakeCreate};

// Registers the fake backend and selects a stack type for one test.
class BluetoothDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_log = &m_log;
        m_savedType = BluetoothStackType.load();
        ASSERT_TRUE(RegisterStackBackend(kFakeStack, &kFakeBackend));
        BluetoothStackType = kFakeStack;
    }
    void TearDown() override {
        RegisterStackBackend(kFakeStack, nullptr);
        BluetoothStackType = m_savedType;
        g_log = nullptr;
    }

    FakeLog m_log;
    TestPort m_port;
    int32_t m_savedType = kStackNone;
};

TEST_F(BluetoothDeviceTest, ImplementationComesFromTheBackendOfTheStackType) {
    GBluetoothDevice device(m_port.Port());
    ASSERT_NE(device.m_impl, nullptr);
    EXPECT_EQ(m_log.owner, &device);
    EXPECT_TRUE(m_log.calls.empty()); // OSInitialize is the creator's call

    BluetoothStackType = kUnservedStack;
    GBluetoothDevice unserved(m_port.Port());
    EXPECT_EQ(unserved.m_impl, nullptr);
}

TEST_F(BluetoothDeviceTest, OperationsReachTheImplementationWithTheirCounts) {
    GBluetoothDevice device(m_port.Port());
    EXPECT_TRUE(device.OSInitialize());
    EXPECT_EQ(device.Open(nullptr), 0);
    uint8_t buffer[8] = {};
    int32_t count = 8;
    EXPECT_EQ(device.Write(buffer, &count), 0);
    EXPECT_EQ(m_log.countSeen, 8);
    EXPECT_EQ(count, 3); // what the stack left is handed back
    count = 8;
    EXPECT_EQ(device.Read(buffer, &count, 0), -1);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(device.ClearIO(), 6);
    EXPECT_EQ(device.GetStatus(), 5);
    device.OSUninitialize();
    EXPECT_EQ(m_log.calls, (std::vector<std::string>{"init", "open", "write", "read", "clear", "status", "uninit"}));
}

TEST_F(BluetoothDeviceTest, FailedCloseIsRetriedByDestructionBeforeTheStackGoes) {
    {
        GBluetoothDevice device(m_port.Port());
        ASSERT_EQ(device.Open(nullptr), 0);
        m_log.closeResult = -1;
        EXPECT_EQ(device.Close(), -1);
        EXPECT_TRUE(device.m_isOpen);
    }
    EXPECT_EQ(m_log.calls, (std::vector<std::string>{"open", "close", "close", "~"}));
}

TEST_F(BluetoothDeviceTest, DeviceWithoutStackRefusesToOpen) {
    BluetoothStackType = kUnservedStack;
    GBluetoothDevice device(m_port.Port());
    ASSERT_TRUE(device.m_ownsPort);
    EXPECT_FALSE(device.OSInitialize());
    EXPECT_EQ(device.Open(nullptr), -1);
    EXPECT_FALSE(device.m_isOpen);
    uint8_t byte = 0;
    int32_t count = 1;
    EXPECT_EQ(device.Write(&byte, &count), -1);
    EXPECT_EQ(device.ClearIO(), -1);
    EXPECT_EQ(device.Close(), -1);
    EXPECT_EQ(device.GetStatus(), 0);
}

// ---------------------------------------------------------------- registry

TEST_F(BluetoothDeviceTest, SearchAsksTheBackendOfTheStackTypeOnly) {
    std::vector<GPortRef> ports(3);
    EnumeratePorts(ports);
    ASSERT_EQ(ports.size(), 1u); // emptied, then filled by the fake
    EXPECT_EQ(ports[0].GetDeviceName(), L"fake");

    BluetoothStackType = kUnservedStack;
    EnumeratePorts(ports);
    EXPECT_TRUE(ports.empty());
}

TEST(StackBackendRegistry, RegistrationReplacesRemovesAndIsBounded) {
    const StackBackend other = {nullptr, nullptr};
    ASSERT_TRUE(RegisterStackBackend(kFakeStack, &kFakeBackend));
    ASSERT_TRUE(RegisterStackBackend(kFakeStack, &other));
    EXPECT_EQ(FindStackBackend(kFakeStack), &other);
    ASSERT_TRUE(RegisterStackBackend(kFakeStack, nullptr));
    EXPECT_EQ(FindStackBackend(kFakeStack), nullptr);

    // A full table refuses; what was registered stays findable.
    std::vector<int32_t> added;
    for (int32_t type = 0x100; type < 0x140; ++type) {
        if (!RegisterStackBackend(type, &other))
            break;
        added.push_back(type);
    }
    EXPECT_LT(added.size(), 0x40u);
    for (int32_t type : added) {
        EXPECT_EQ(FindStackBackend(type), &other);
        RegisterStackBackend(type, nullptr);
    }
    EXPECT_TRUE(RegisterStackBackend(kFakeStack, &other));
    RegisterStackBackend(kFakeStack, nullptr);
}

} // namespace
