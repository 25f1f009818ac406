// The device list as the host reads it: searches, snapshots, entry names and
// statuses, and the names of open devices.
#include "InterfaceTestSupport.h"

#include <cstring>

namespace iface_test {
namespace {

class InterfaceDeviceListTest : public HostTest {};

TEST_F(InterfaceDeviceListTest, ListsUnitsNotOpenFirstThenTheOpenOnes) {
    auto b = AddUnit("Bravo"); // found first by the search
    auto a = AddUnit("Alpha");
    OstrelDevice device = Open(*b);
    ASSERT_NE(device, nullptr);

    ASSERT_EQ(Search(), 0);
    const auto entries = Snapshot();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, "Alpha");
    EXPECT_EQ(entries[0].status, OSTREL_STATUS_NOT_OPEN);
    EXPECT_EQ(entries[1].name, "Bravo");
    EXPECT_EQ(entries[1].status, OSTREL_STATUS_OPEN);
}

TEST_F(InterfaceDeviceListTest, OpenUnitsFollowInTheOrderOfOpening) {
    auto a = AddUnit("Alpha"); // found in this order
    auto b = AddUnit("Bravo");
    auto c = AddUnit("Charlie");
    ASSERT_EQ(Search(), 0);
    ASSERT_NE(Ostrel_Device_Open(lib, "Charlie"), nullptr);
    ASSERT_NE(Ostrel_Device_Open(lib, "Alpha"), nullptr);
    ASSERT_EQ(Search(), 0);
    const auto entries = Snapshot();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].name, "Bravo");
    EXPECT_EQ(entries[0].status, OSTREL_STATUS_NOT_OPEN);
    EXPECT_EQ(entries[1].name, "Charlie");
    EXPECT_EQ(entries[1].status, OSTREL_STATUS_OPEN);
    EXPECT_EQ(entries[2].name, "Alpha");
    EXPECT_EQ(entries[2].status, OSTREL_STATUS_OPEN);
}

TEST_F(InterfaceDeviceListTest, OpenUnitStaysListedWhenTheSearchNoLongerFindsIt) {
    auto unit = AddUnit("Alpha");
    OstrelDevice device = Open(*unit);
    ASSERT_NE(device, nullptr);
    sim::SimStack::RemoveUnit(unit.get());
    ASSERT_EQ(Search(), 0);
    const auto entries = Snapshot();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "Alpha");
    EXPECT_EQ(entries[0].status, OSTREL_STATUS_OPEN);
    EXPECT_EQ(Ping(device), 0);
}

TEST_F(InterfaceDeviceListTest, SnapshotKeepsTheStatusesOfItsMoment) {
    auto unit = AddUnit("Alpha");
    ASSERT_EQ(Search(), 0);
    int count = -1;
    int stamp = -1;
    OstrelSnapshot before = Ostrel_OpenDeviceListSnapshot(lib, OSTREL_DEVICE_TYPE, &count, &stamp);
    ASSERT_NE(before, nullptr);
    ASSERT_EQ(count, 1);

    OstrelDevice device = Ostrel_Device_Open(lib, "Alpha");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(ReadSnapshot(before, count, false)[0].status, OSTREL_STATUS_NOT_OPEN);
    // A new snapshot refreshes the statuses without a new search.
    EXPECT_EQ(Snapshot()[0].status, OSTREL_STATUS_OPEN);

    ASSERT_EQ(Ostrel_Device_Close(device), 0);
    EXPECT_EQ(Snapshot()[0].status, OSTREL_STATUS_NOT_OPEN);
    EXPECT_EQ(Ostrel_CloseDeviceListSnapshot(before), 0);
}

TEST_F(InterfaceDeviceListTest, NameIsCutToTheBufferWithoutError) {
    AddUnit("ABCDEFGHIJKL");
    ASSERT_EQ(Search(), 0);
    int count = 0;
    int stamp = -1;
    OstrelSnapshot snapshot = Ostrel_OpenDeviceListSnapshot(lib, OSTREL_DEVICE_TYPE, &count, &stamp);
    ASSERT_NE(snapshot, nullptr);

    char buffer[16];
    std::memset(buffer, 'x', sizeof buffer);
    int status = -1;
    EXPECT_EQ(Ostrel_DeviceListSnapshot_GetNthEntry(snapshot, 0, buffer, 8, &status), 0);
    EXPECT_STREQ(buffer, "ABCDEFG");
    EXPECT_EQ(buffer[8], 'x'); // nothing beyond the size given
    EXPECT_EQ(status, OSTREL_STATUS_NOT_OPEN);

    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(Ostrel_DeviceListSnapshot_GetNthEntry(snapshot, 0, buffer, 1, &status), 0);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], 'x');

    // A size of 0 or no buffer has nowhere to put the terminator.
    status = -1;
    EXPECT_EQ(Ostrel_DeviceListSnapshot_GetNthEntry(snapshot, 0, buffer, 0, &status), -1);
    EXPECT_EQ(Ostrel_DeviceListSnapshot_GetNthEntry(snapshot, 0, nullptr, 8, &status), -1);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(Ostrel_CloseDeviceListSnapshot(snapshot), 0);
}

TEST_F(InterfaceDeviceListTest, EntryBeyondTheListIsRefusedAndNothingWritten) {
    AddUnit("Alpha");
    ASSERT_EQ(Search(), 0);
    int count = 0;
    int stamp = -1;
    OstrelSnapshot snapshot = Ostrel_OpenDeviceListSnapshot(lib, OSTREL_DEVICE_TYPE, &count, &stamp);
    ASSERT_EQ(count, 1);
    char buffer[8] = "keep";
    int status = 42;
    EXPECT_EQ(Ostrel_DeviceListSnapshot_GetNthEntry(snapshot, 1, buffer, sizeof buffer, &status), -1);
    EXPECT_EQ(Ostrel_DeviceListSnapshot_GetNthEntry(snapshot, 0xFFFFFFFFu, buffer, sizeof buffer, &status), -1);
    EXPECT_STREQ(buffer, "keep");
    EXPECT_EQ(status, 42);
    EXPECT_EQ(Ostrel_CloseDeviceListSnapshot(snapshot), 0);
}

TEST_F(InterfaceDeviceListTest, EmptySearchGivesAnEmptySnapshot) {
    ASSERT_EQ(Search(), 0);
    int count = -1;
    int stamp = -1;
    OstrelSnapshot snapshot = Ostrel_OpenDeviceListSnapshot(lib, OSTREL_DEVICE_TYPE, &count, &stamp);
    ASSERT_NE(snapshot, nullptr);
    EXPECT_EQ(count, 0);
    char buffer[8];
    int status = 0;
    EXPECT_EQ(Ostrel_DeviceListSnapshot_GetNthEntry(snapshot, 0, buffer, sizeof buffer, &status), -1);
    EXPECT_EQ(Ostrel_CloseDeviceListSnapshot(snapshot), 0);
}

TEST_F(InterfaceDeviceListTest, SnapshotClosesOnce) {
    int count = -1;
    int stamp = -1;
    OstrelSnapshot snapshot = Ostrel_OpenDeviceListSnapshot(lib, OSTREL_DEVICE_TYPE, &count, &stamp);
    ASSERT_NE(snapshot, nullptr);
    EXPECT_EQ(Ostrel_CloseDeviceListSnapshot(snapshot), 0);
    EXPECT_EQ(Ostrel_CloseDeviceListSnapshot(snapshot), -1);
    EXPECT_EQ(Ostrel_CloseDeviceListSnapshot(nullptr), -1);
}

TEST_F(InterfaceDeviceListTest, OtherDeviceTypesAreRefused) {
    AddUnit("Alpha");
    ASSERT_EQ(Search(), 0);
    for (int type : {5, 7}) {
        int stamp = -1;
        int count = -1;
        EXPECT_EQ(Ostrel_SearchForDevices(lib, type, 0, &stamp), -1);
        EXPECT_EQ(stamp, -1);
        EXPECT_EQ(Ostrel_OpenDeviceListSnapshot(lib, type, &count, &stamp), nullptr);
        EXPECT_EQ(count, -1);
        EXPECT_EQ(stamp, -1);
    }
    // A refused search leaves the list as it was.
    EXPECT_EQ(Snapshot().size(), 1u);
}

TEST_F(InterfaceDeviceListTest, StampsAreZero) {
    AddUnit("Alpha");
    int stamp = -1;
    EXPECT_EQ(Ostrel_SearchForDevices(lib, OSTREL_DEVICE_TYPE, 12345, &stamp), 0);
    EXPECT_EQ(stamp, 0);
    int count = -1;
    stamp = -1;
    OstrelSnapshot snapshot = Ostrel_OpenDeviceListSnapshot(lib, OSTREL_DEVICE_TYPE, &count, &stamp);
    EXPECT_EQ(stamp, 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(Ostrel_CloseDeviceListSnapshot(snapshot), 0);
}

TEST_F(InterfaceDeviceListTest, MissingOutputsRefuseTheCall) {
    AddUnit("Alpha");
    int value = -1;
    EXPECT_EQ(Ostrel_SearchForDevices(lib, OSTREL_DEVICE_TYPE, 0, nullptr), -1);
    EXPECT_EQ(Ostrel_OpenDeviceListSnapshot(lib, OSTREL_DEVICE_TYPE, nullptr, &value), nullptr);
    EXPECT_EQ(Ostrel_OpenDeviceListSnapshot(lib, OSTREL_DEVICE_TYPE, &value, nullptr), nullptr);
    EXPECT_EQ(value, -1);
    // The refused search did not run: the list is still empty.
    EXPECT_EQ(Snapshot().size(), 0u);
}

TEST_F(InterfaceDeviceListTest, OpenDeviceNameIsCutAndReportedWhenItDoesNotFit) {
    auto unit = AddUnit("ABCDEFGHIJ");
    OstrelDevice device = Open(*unit);
    ASSERT_NE(device, nullptr);

    char buffer[16];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(Ostrel_Device_GetOpenDeviceName(device, buffer, 4), -1);
    EXPECT_STREQ(buffer, "ABC");
    EXPECT_EQ(buffer[4], 'x');

    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(Ostrel_Device_GetOpenDeviceName(device, buffer, 11), 0);
    EXPECT_STREQ(buffer, "ABCDEFGHIJ");
    EXPECT_EQ(buffer[11], 'x');

    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(Ostrel_Device_GetOpenDeviceName(device, buffer, 0), -1);
    EXPECT_EQ(Ostrel_Device_GetOpenDeviceName(device, nullptr, 11), -1);
    EXPECT_EQ(buffer[0], 'x');
}

} // namespace
} // namespace iface_test
