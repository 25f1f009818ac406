// The pieces of the BlueZ stack that need no bus: the port record a search
// leaves in PortData, the D-Bus types the library declares for itself, and
// the kernel's Bluetooth sockets where the kernel has none.
#include "Posix/BlueZPortRecord.h"
#include "Posix/BluetoothSocket.h"
#include "Posix/DBusLibrary.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <filesystem>

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

TEST(BlueZPortRecord, RecordCarriesUnitAndAdapterAndRefusesForeignRecords) {
    const BluetoothSocket::Address unit = {0x00, 0x07, 0x80, 0x15, 0x01, 0x01};
    const BluetoothSocket::Address adapter = {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x13};
    const std::vector<uint8_t> record = BlueZPortRecord::Encode(unit, adapter);
    // Least significant byte first, as the other stacks store addresses.
    EXPECT_EQ(record, (std::vector<uint8_t>{0x01, 0x01, 0x15, 0x80, 0x07, 0x00, 0x13, 0x71, 0xDA, 0x7D, 0x1A, 0x00}));
    BluetoothSocket::Address unitBack{}, adapterBack{};
    ASSERT_TRUE(BlueZPortRecord::Decode(PortWith(record), unitBack, adapterBack));
    EXPECT_EQ(unitBack, unit);
    EXPECT_EQ(adapterBack, adapter);

    // A record of another stack, one cut short, and none at all.
    const std::vector<uint8_t> shortRecord(record.begin(), record.end() - 1);
    const std::vector<uint8_t> widcomm(260, 0);
    EXPECT_FALSE(BlueZPortRecord::Decode(PortWith(shortRecord), unitBack, adapterBack));
    EXPECT_FALSE(BlueZPortRecord::Decode(PortWith(widcomm), unitBack, adapterBack));
    EXPECT_FALSE(BlueZPortRecord::Decode(GPortRef(), unitBack, adapterBack));
}

// The real socket code, as far as a machine without Bluetooth lets it run: a
// kernel without the protocol, or without the adapter, fails the connect at
// once and leaves no descriptor behind.
TEST(BluetoothSocket, RealConnectsFailCleanlyWithoutAnAdapter) {
    ASSERT_EQ(std::getenv(BluetoothSocket::kTestFolderVariable), nullptr);
    const BluetoothSocket::Address unit = {0x00, 0x07, 0x80, 0x15, 0x01, 0x01};
    const BluetoothSocket::Address adapter = {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x7E};
    auto openDescriptors = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
    const auto before = openDescriptors();
    for (const bool rfcomm : {false, true}) {
        errno = 0;
        const int fd = rfcomm ? BluetoothSocket::ConnectRfcomm(adapter, unit, 1, 1000)
                              : BluetoothSocket::ConnectSdp(adapter, unit, 1000);
        EXPECT_EQ(fd, -1) << rfcomm;
        EXPECT_TRUE(errno == EAFNOSUPPORT || errno == EADDRNOTAVAIL) << rfcomm << " " << errno;
    }
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(BluetoothSocket::AddressText(adapter), "00:1A:7D:DA:71:7E");
}
