// A unit that drops its link while measuring, as the exports show it: what a
// host has to tell a lost link from a quiet one, and the way back.
#include "InterfaceTestSupport.h"

namespace iface_test {
namespace {

using sim::SimUnit;
using std::chrono::milliseconds;

class InterfaceLinkDropConcurrencyTest : public OpenUnitTest {};

TEST_F(InterfaceLinkDropConcurrencyTest, WritesFailOnceTheLinkIsGoneAndTheUnitOpensAgainWhenBack) {
    ASSERT_EQ(Ostrel_Device_SendCmd(device, SimUnit::kCmdStart, nullptr, 0, nullptr), 0);
    ASSERT_TRUE(WaitUntil([&] { return Ostrel_Device_GetNumMeasurementsAvailable(device, 3) > 0; }, 5000));
    unit->DropLinkAfter(milliseconds(0), milliseconds(3000));
    ASSERT_TRUE(WaitUntil([&] { return unit->LinkClosedByUnit(); }, 5000));

    // The first write after the drop fails at once, with or without a wait.
    int signature = -1;
    EXPECT_EQ(Ostrel_Device_SendCmd(device, SimUnit::kCmdGetPeriod, nullptr, 0, &signature), -1);
    EXPECT_NE(Ping(device), 0);
    EXPECT_EQ(unit->CommandCount(SimUnit::kCmdGetPeriod), 0u);

    // Closed, it cannot be opened again by the name the last search listed
    // while it is away, nor does a search list it.
    EXPECT_EQ(Ostrel_Device_Close(device), 0);
    EXPECT_EQ(Ostrel_Device_Open(lib, "Alpha"), nullptr);
    EXPECT_EQ(Search(), 0);
    EXPECT_TRUE(Snapshot().empty());

    ASSERT_TRUE(WaitUntil([&] { return unit->InReach(); }, 10000));
    device = Open(*unit);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(Ping(device), 0);
}

} // namespace
} // namespace iface_test
