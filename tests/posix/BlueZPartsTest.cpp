// The pieces of the BlueZ stack that need no bus: the port record a search
// leaves in PortData, and the D-Bus types the library declares for itself.
#include "Posix/BlueZPortRecord.h"
#include "Posix/DBusLibrary.h"

#include <gtest/gtest.h>

#include <cstddef>

#if __has_include(<dbus/dbus.h>)
#include <dbus/dbus.h>
// The library loads libdbus at run time with its own declarations: they must
// be the library's ABI.
static_assert(sizeof(DBus::Iter) == sizeof(DBusMessageIter), "DBusMessageIter");
static_assert(sizeof(DBus::Error) == sizeof(DBusError), "DBusError");
static_assert(offsetof(DBus::Error, name) == offsetof(DBusError, name), "DBusError.name");
static_assert(offsetof(DBus::Error, message) == offsetof(DBusError, message), "DBusError.message");
static_assert(sizeof(DBus::Bool) == sizeof(dbus_bool_t), "dbus_bool_t");
static_assert(DBus::kTypeUnixFd == DBUS_TYPE_UNIX_FD && DBus::kTypeDictEntry == DBUS_TYPE_DICT_ENTRY &&
                  DBus::kTypeVariant == DBUS_TYPE_VARIANT && DBus::kTypeObjectPath == DBUS_TYPE_OBJECT_PATH,
              "type codes");
static_assert(DBus::kMessageMethodCall == DBUS_MESSAGE_TYPE_METHOD_CALL &&
                  DBus::kMessageError == DBUS_MESSAGE_TYPE_ERROR &&
                  DBus::kDispatchDataRemains == DBUS_DISPATCH_DATA_REMAINS,
              "message types");
#endif

namespace {

GPortRef PortWith(const std::vector<uint8_t> &record) {
    return GPortRef(L"000780150101", L"15101", L"", record.data(), static_cast<int32_t>(record.size()));
}

} // namespace

TEST(BlueZPortRecord, AddressTextParsesOnlyBlueZsForm) {
    std::array<uint8_t, 6> bytes{};
    ASSERT_TRUE(BlueZPortRecord::ParseAddress("00:07:80:aB:Cd:EF", bytes));
    EXPECT_EQ(bytes, (std::array<uint8_t, 6>{0x00, 0x07, 0x80, 0xAB, 0xCD, 0xEF}));
    for (const char *bad :
         {"", "00:07:80:AB:CD", "00:07:80:AB:CD:EF:", "00-07-80-AB-CD-EF", "00:07:80:AB:CD:EG", "0:07:80:AB:CD:EF0"})
        EXPECT_FALSE(BlueZPortRecord::ParseAddress(bad, bytes)) << bad;
}

TEST(BlueZPortRecord, RecordCarriesAddressAndPathAndRefusesForeignRecords) {
    const std::vector<uint8_t> record =
        BlueZPortRecord::Encode({0x00, 0x07, 0x80, 0x15, 0x01, 0x01}, "/org/bluez/hci0/dev_00_07_80_15_01_01");
    // Least significant byte first, as the other stacks store addresses.
    EXPECT_EQ(std::vector<uint8_t>(record.begin(), record.begin() + 6),
              (std::vector<uint8_t>{0x01, 0x01, 0x15, 0x80, 0x07, 0x00}));
    std::string path;
    ASSERT_TRUE(BlueZPortRecord::ObjectPathOf(PortWith(record), path));
    EXPECT_EQ(path, "/org/bluez/hci0/dev_00_07_80_15_01_01");

    // A record of another stack, one cut short, and none at all: no path,
    // and nothing read past the record.
    std::vector<uint8_t> unterminated(record.begin(), record.end() - 1);
    std::vector<uint8_t> widcomm(260, 0);
    EXPECT_FALSE(BlueZPortRecord::ObjectPathOf(PortWith(unterminated), path));
    EXPECT_FALSE(BlueZPortRecord::ObjectPathOf(PortWith(widcomm), path));
    EXPECT_FALSE(BlueZPortRecord::ObjectPathOf(GPortRef(), path));
}
