// The product device: it creates its stack's connection object when it is
// built, says so when that fails, and cannot be opened without a stack.
#include "ProductTestSupport.h"

#include "GCrashTestDummyDevice.h"
#include "StackBackend.h"
#include "TraceCapture.h"

#include <gtest/gtest.h>

#include <string>

using namespace product_test;

namespace {

const std::wstring kInitFailedTrace = L"Error - GCrashTestDummyDevice constructor, OSInitialize() returned false.";

// A stack whose connection object cannot be created.
constexpr int32_t kRefusingStack = 0x73;
int g_initializeCalls = 0;

class RefusingImp : public IBTDevice {
  public:
    bool OSInitialize() override {
        ++g_initializeCalls;
        return false;
    }
    void OSUninitialize() override {}
    int32_t Open(void *) override { return 0; }
    int32_t Close() override { return 0; }
    int32_t ClearIO() override { return 0; }
    int32_t GetStatus() override { return 0; }
    int32_t Read(uint8_t *, int32_t *, int32_t) override { return -1; }
    int32_t Write(const uint8_t *, int32_t *) override { return 0; }
};

void NoPorts(std::vector<GPortRef> &ports) {
    ports.clear();
}
IBTDevice *CreateRefusing(GBluetoothDevice *) {
    return new RefusingImp();
}
const StackBackend kRefusingBackend = {&NoPorts, &CreateRefusing};

class CrashTestDummyDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override { unit = scope.AddUnit(); }

    sim::SimStackScope scope;
    std::shared_ptr<sim::SimUnit> unit;
};

TEST_F(CrashTestDummyDeviceTest, InitialisesItsStackWhenBuiltAndOpensWithoutFurtherSetUp) {
    TraceCapture trace(100); // the message ignores the threshold
    GCrashTestDummyDevice device(scope.PortOf(*unit));
    ASSERT_NE(nullptr, device.m_impl);
    EXPECT_TRUE(trace.Lines().empty());

    // No OSInitialize by the caller: the constructor has created the
    // connection object.
    int context = 0;
    device.SetReceiveCallback([](const uint8_t *, int32_t, void *) {}, &context);
    EXPECT_EQ(0, device.Open(nullptr));
    EXPECT_TRUE(device.m_isOpen);
    EXPECT_TRUE(unit->IsConnected());
    EXPECT_EQ(0, device.Close());
}

TEST_F(CrashTestDummyDeviceTest, AFailedInitialisationIsTracedUnconditionallyAndTheDeviceStillExists) {
    g_initializeCalls = 0;
    ASSERT_TRUE(RegisterStackBackend(kRefusingStack, &kRefusingBackend));
    BluetoothStackType = kRefusingStack;
    {
        TraceCapture trace(100);
        GCrashTestDummyDevice device(scope.PortOf(*unit));
        EXPECT_NE(nullptr, device.m_impl);
        EXPECT_EQ(1, g_initializeCalls);
        // Bare text: no file, no line, no threshold.
        EXPECT_EQ(std::vector<std::wstring>{kInitFailedTrace}, trace.Lines());
        EXPECT_TRUE(device.m_ownsPort);
    }
    BluetoothStackType = kStackSimulated;
    RegisterStackBackend(kRefusingStack, nullptr);
}

TEST_F(CrashTestDummyDeviceTest, WithoutAStackItTracesAndRefusesToOpen) {
    NoStackChosen none;
    TraceCapture trace(100);
    GCrashTestDummyDevice device(scope.PortOf(*unit));
    EXPECT_EQ(nullptr, device.m_impl);
    EXPECT_EQ(std::vector<std::wstring>{kInitFailedTrace}, trace.Lines());

    ASSERT_TRUE(device.m_ownsPort);
    EXPECT_EQ(-1, device.Open(nullptr));
    EXPECT_FALSE(device.m_isOpen);
    EXPECT_FALSE(unit->IsConnected());
}

} // namespace
