// The BlueZ stack against a real dbus-daemon with a simulated BlueZ on it:
// the probe, the stack choice, the search, and the link as a host uses it
// (through the exported interface), with the unit on the far end of the
// socket that BlueZ hands over.
#include "BlueZStack.h"
#include "BlueZWorld.h"
#include "BluetoothStacks.h"
#include "Ostrel_lib.h"
#include "Posix/BlueZPortRecord.h"
#include "StackBackend.h"
#include "TraceCapture.h"

#include "../unit/interface/InterfaceTestSupport.h"
#include "../unit/stacks/FakeStacks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

using bluez_test::BlueZWorld;
using bluez_test::WorldAdapter;
using bluez_test::WorldDevice;
using iface_test::Clock;
using iface_test::MillisecondsSince;
using iface_test::WaitUntil;

namespace {

constexpr uint32_t kWindowMs = 1000;
// A probe must not hold up Ostrel_Init; generous for a loaded machine.
constexpr int64_t kQuickMs = 1000;
constexpr char kSerialPort[] = "00001101-0000-1000-8000-00805f9b34fb";

WorldDevice Device(const std::string &address, const std::string &name, bool paired, int foundAfterMs = -1,
                   const std::string &connect = "ok") {
    WorldDevice device;
    device.address = address;
    device.name = name;
    device.paired = paired;
    device.foundAfterMs = foundAfterMs;
    device.connect = connect;
    return device;
}

// Serials and addresses of these tests alone: unit claims are machine-wide.
const WorldDevice kPairedUnit = Device("00:07:80:15:01:01", "QuorvelKTRX 15101", true);

class BlueZTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_testLock = std::make_unique<iface_test::MachineTestLock>();
        ASSERT_TRUE(m_testLock->Held());
        SetBlueZDiscoveryMsForTesting(kWindowMs);
    }

    void TearDown() override {
        // Devices still open disconnect their profile: the bus must be up.
        if (lib != nullptr)
            Ostrel_Uninit(lib);
        world.reset();
        BluetoothStackType = m_savedStack;
        SetBlueZDiscoveryMsForTesting(0);
        m_testLock.reset();
    }

    void StartWorld(const std::vector<WorldDevice> &devices,
                    const std::vector<WorldAdapter> &adapters = {WorldAdapter()}) {
        world = std::make_unique<BlueZWorld>(adapters, devices);
        ASSERT_TRUE(world->Up());
    }

    // A host on the BlueZ stack (in this program Ostrel_Init finds the
    // linked-in shim first).
    void StartHost() {
        lib = Ostrel_Init();
        ASSERT_NE(lib, nullptr);
        BluetoothStackType = kStackBlueZ;
    }

    std::vector<std::string> Search() {
        int stamp = -1, count = -1;
        EXPECT_EQ(Ostrel_SearchForDevices(lib, OSTREL_DEVICE_TYPE, 0, &stamp), 0);
        OstrelSnapshot snapshot = Ostrel_OpenDeviceListSnapshot(lib, OSTREL_DEVICE_TYPE, &count, &stamp);
        std::vector<std::string> names;
        for (int i = 0; snapshot != nullptr && i < count; ++i) {
            char name[64] = {};
            int status = -1;
            EXPECT_EQ(
                Ostrel_DeviceListSnapshot_GetNthEntry(snapshot, static_cast<unsigned>(i), name, sizeof name, &status),
                0);
            names.push_back(name);
        }
        EXPECT_EQ(Ostrel_CloseDeviceListSnapshot(snapshot), 0);
        return names;
    }

    OstrelDevice SearchAndOpen(const std::string &name) {
        Search();
        return Ostrel_Device_Open(lib, name.c_str());
    }

    // A short command that the unit answers (it reads the period back).
    static int Ping(OstrelDevice device) {
        unsigned char reply[8];
        int size = sizeof reply;
        return Ostrel_Device_SendCmdAndGetResponse(device, 0x1C, nullptr, 0, reply, &size, 1000);
    }

    std::string ProfileEvent(const char *method, const WorldDevice &device) const {
        return std::string(method) + " " + BlueZWorld::DevicePath(device) + " " + kSerialPort;
    }

    std::unique_ptr<BlueZWorld> world;
    OstrelLibrary lib = nullptr;

  private:
    std::unique_ptr<iface_test::MachineTestLock> m_testLock;
    int32_t m_savedStack = BluetoothStackType.load();
};

} // namespace

TEST(BlueZProbe, NoSystemBusIsAQuickNo) {
    const char *saved = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const std::string restore = saved != nullptr ? saved : "";
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/ostrel/system_bus_socket", 1);
    const auto start = Clock::now();
    EXPECT_FALSE(IsBlueZStackUsable());
    EXPECT_LT(MillisecondsSince(start), kQuickMs);
    if (saved != nullptr)
        setenv("DBUS_SYSTEM_BUS_ADDRESS", restore.c_str(), 1);
    else
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

TEST_F(BlueZTest, ProbeWantsBlueZWithAPoweredAdapterAndSaysNoQuicklyOtherwise) {
    {
        BlueZWorld busOnly({}, {}, false);
        ASSERT_TRUE(busOnly.Up());
        const auto start = Clock::now();
        EXPECT_FALSE(IsBlueZStackUsable());
        EXPECT_LT(MillisecondsSince(start), kQuickMs);
    }
    {
        WorldAdapter off;
        off.powered = false;
        BlueZWorld unpowered({off}, {kPairedUnit});
        ASSERT_TRUE(unpowered.Up());
        const auto start = Clock::now();
        EXPECT_FALSE(IsBlueZStackUsable());
        EXPECT_LT(MillisecondsSince(start), kQuickMs);
    }
    WorldAdapter off;
    off.name = "hci1";
    off.powered = false;
    StartWorld({}, {off, WorldAdapter()});
    EXPECT_TRUE(IsBlueZStackUsable());
    EXPECT_TRUE(IsBlueZStackUsable()); // asked again, same bus
}

TEST_F(BlueZTest, ShimComesFirstThenBlueZ) {
    StartWorld({kPairedUnit});
    stacks_test::FakeWidcommShim shim;
    EXPECT_EQ(ChooseBluetoothStack(), kStackWidcomm);
    shim.stackAnswers = false;
    EXPECT_EQ(ChooseBluetoothStack(), kStackBlueZ);
    world.reset();
    EXPECT_EQ(ChooseBluetoothStack(), kStackNone);
}

TEST_F(BlueZTest, SearchDiscoversForItsWindowAndListsExactlyTheUnits) {
    WorldAdapter off;
    off.name = "hci1";
    off.powered = false;
    WorldDevice offAdapterUnit = Device("00:07:80:15:01:06", "QuorvelKTRX 15106", true);
    offAdapterUnit.adapter = "hci1";
    const WorldDevice inRange = Device("00:07:80:15:01:02", "QuorvelKTRX 15102", false, 300);
    StartWorld({kPairedUnit, inRange, Device("00:07:80:15:01:03", "Headset", false),
                Device("00:07:80:15:01:04", "quorvelKTRX 15104", false), Device("00:07:80:15:01:05", "", false),
                Device("00:07:80:15:01:07", "QuorvelKTRX", false, 100), offAdapterUnit},
               {WorldAdapter(), off});
    BluetoothStackType = kStackBlueZ;

    std::vector<GPortRef> ports;
    const auto start = Clock::now();
    EnumeratePorts(ports);
    EXPECT_GE(MillisecondsSince(start), kWindowMs);

    std::vector<std::wstring> names;
    for (const GPortRef &port : ports) {
        names.push_back(port.GetDeviceName());
        std::string path;
        ASSERT_TRUE(BlueZPortRecord::ObjectPathOf(port, path));
        const std::wstring location = port.GetLocation();
        // The device behind the path has the address the location shows.
        std::string expected = "/org/bluez/hci0/dev_";
        for (size_t i = 0; i < location.size(); i += 2)
            expected += (i > 0 ? "_" : "") + std::string(1, static_cast<char>(std::toupper(location[i]))) +
                        static_cast<char>(std::toupper(location[i + 1]));
        if (port.GetDeviceName() == L"15106")
            expected.replace(expected.find("hci0"), 4, "hci1");
        EXPECT_EQ(path, expected);
    }
    std::sort(names.begin(), names.end());
    // The paired unit out of range, the one discovery found, one with the bare
    // prefix, and one BlueZ remembers on an adapter that is off.
    EXPECT_EQ(names, (std::vector<std::wstring>{L"", L"15101", L"15102", L"15106"}));
    for (const GPortRef &port : ports) {
        if (port.GetDeviceName() == L"15101") {
            EXPECT_EQ(port.GetLocation(), L"000780150101");
        }
    }

    EXPECT_EQ(world->CountEvents("StartDiscovery /org/bluez/hci0"), 1u);
    EXPECT_EQ(world->CountEvents("StopDiscovery /org/bluez/hci0"), 1u);
    EXPECT_EQ(world->CountEvents("StartDiscovery /org/bluez/hci1"), 0u); // powered off
}

TEST_F(BlueZTest, OpenStreamMemoryAndCloseGoThroughTheProfileAgainAndAgain) {
    StartWorld({kPairedUnit});
    StartHost();
    EXPECT_EQ(Search(), std::vector<std::string>{"15101"});

    OstrelDevice device = Ostrel_Device_Open(lib, "15101");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(world->CountEvents(ProfileEvent("ConnectProfile", kPairedUnit)), 1u);
    char name[64] = {};
    EXPECT_EQ(Ostrel_Device_DDSMem_GetLongName(device, 3, name, sizeof name), 0);
    EXPECT_STREQ(name, "Temperature Probe");

    EXPECT_EQ(Ostrel_Device_SetMeasurementPeriod(device, 0.005, 2000), 0);
    EXPECT_EQ(Ostrel_Device_SendCmdAndGetResponse(device, 0x18, nullptr, 0, nullptr, nullptr, 2000), 0);
    EXPECT_TRUE(WaitUntil([&] { return Ostrel_Device_GetNumMeasurementsAvailable(device, 3) >= 200; }, 20000));
    EXPECT_EQ(Ostrel_Device_SendCmdAndGetResponse(device, 0x19, nullptr, 0, nullptr, nullptr, 2000), 0);

    unsigned char written[300], back[300] = {};
    for (size_t i = 0; i < sizeof written; ++i)
        written[i] = static_cast<unsigned char>(i * 13 + 5);
    EXPECT_EQ(Ostrel_Device_NVMemBlk_Write(device, OSTREL_BLOCK_UNIT_MEMORY, written, 2000, 300, 5000), 0);
    EXPECT_EQ(Ostrel_Device_NVMemBlk_Read(device, OSTREL_BLOCK_UNIT_MEMORY, back, 2000, 300, 5000), 0);
    EXPECT_EQ(std::vector<unsigned char>(back, back + 300), std::vector<unsigned char>(written, written + 300));

    EXPECT_EQ(Ostrel_Device_Close(device), 0);
    EXPECT_EQ(world->CountEvents(ProfileEvent("DisconnectProfile", kPairedUnit)), 1u);

    // A second open connects afresh; the profile stays registered.
    device = Ostrel_Device_Open(lib, "15101");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(Ping(device), 0);
    EXPECT_EQ(Ostrel_Device_Close(device), 0);
    EXPECT_EQ(world->CountEvents(ProfileEvent("ConnectProfile", kPairedUnit)), 2u);
    EXPECT_EQ(world->CountEvents(ProfileEvent("DisconnectProfile", kPairedUnit)), 2u);
    EXPECT_EQ(world->CountEvents("RegisterProfile /Ostrel_lib/serial_port " + std::string(kSerialPort) + " client"),
              1u);
}

TEST_F(BlueZTest, LinkDroppedMidStreamEndsTheReceiveThreadAndCommandsFailCleanly) {
    const WorldDevice unit = Device("00:07:80:15:01:11", "QuorvelKTRX 15111", true, -1, "drop:4000");
    StartWorld({unit});
    StartHost();
    OstrelDevice device = SearchAndOpen("15111");
    ASSERT_NE(device, nullptr);
    TraceCapture trace;
    EXPECT_EQ(Ostrel_Device_SetMeasurementPeriod(device, 0.005, 2000), 0);
    EXPECT_EQ(Ostrel_Device_SendCmdAndGetResponse(device, 0x18, nullptr, 0, nullptr, nullptr, 2000), 0);
    EXPECT_TRUE(WaitUntil([&] { return trace.Contains(L"Read Failed"); }, 20000));

    const auto start = Clock::now();
    EXPECT_NE(Ping(device), 0);
    EXPECT_LT(MillisecondsSince(start), 10000);
    EXPECT_TRUE(trace.Contains(L"Send Failed"));
    EXPECT_EQ(Ostrel_Device_Close(device), 0);
    EXPECT_EQ(world->CountEvents(ProfileEvent("DisconnectProfile", unit)), 1u);
}

TEST_F(BlueZTest, FailedConnectsAreTracedWithTheBusErrorAndLeaveNothingHeld) {
    const WorldDevice unit = Device("00:07:80:15:01:21", "QuorvelKTRX 15121", true, -1, "fail");
    StartWorld({unit});
    StartHost();
    TraceCapture trace;
    EXPECT_EQ(SearchAndOpen("15121"), nullptr);
    EXPECT_TRUE(trace.Contains(L"ConnectProfile failed on /org/bluez/hci0/dev_00_07_80_15_01_21: "
                               L"org.bluez.Error.Failed: Connection refused (111)"))
        << std::string(trace.Text().begin(), trace.Text().end());
    EXPECT_TRUE(trace.Contains(L"Error opening Bluetooth device with id 15121"));

    // A reply that comes without the socket fails the open too.
    ASSERT_TRUE(world->SetConnect(unit, "nosocket"));
    EXPECT_EQ(Ostrel_Device_Open(lib, "15121"), nullptr);
    EXPECT_TRUE(trace.Contains(L"handed over no connection"));

    ASSERT_TRUE(world->SetConnect(unit, "ok"));
    OstrelDevice device = Ostrel_Device_Open(lib, "15121");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(Ping(device), 0);
    EXPECT_EQ(Ostrel_Device_Close(device), 0);
}

TEST_F(BlueZTest, RequestDisconnectionFromBlueZEndsTheLink) {
    const WorldDevice unit = Device("00:07:80:15:01:31", "QuorvelKTRX 15131", true);
    StartWorld({unit});
    StartHost();
    OstrelDevice device = SearchAndOpen("15131");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(Ping(device), 0);
    TraceCapture trace;
    ASSERT_TRUE(world->RequestDisconnection(unit));
    EXPECT_TRUE(WaitUntil([&] { return trace.Contains(L"Read Failed"); }, 10000));
    EXPECT_NE(Ping(device), 0);
    EXPECT_EQ(Ostrel_Device_Close(device), 0);

    device = Ostrel_Device_Open(lib, "15131");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(Ping(device), 0);
    EXPECT_EQ(Ostrel_Device_Close(device), 0);
}
