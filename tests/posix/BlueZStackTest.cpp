// The BlueZ stack against a real dbus-daemon with a simulated BlueZ on it and
// simulated units in reach: the probe, the stack choice, the search, and the
// link as a host uses it (through the exported interface), with a unit on
// the far end of the library's own sockets; beside another process of the
// library and another program that uses the serial-port profile, and across
// restarts of BlueZ.
#include "BlueZStack.h"
#include "BlueZWorld.h"
#include "BluetoothStacks.h"
#include "Ostrel_lib.h"
#include "Posix/BlueZPortRecord.h"
#include "Posix/BluetoothSocket.h"
#include "StackBackend.h"
#include "TraceCapture.h"

#include "../unit/interface/InterfaceTestSupport.h"
#include "../unit/stacks/FakeStacks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
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
constexpr char kFirstAdapter[] = "00:1A:7D:DA:71:00";

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

WorldDevice On(WorldDevice device, const std::string &adapter) {
    device.adapter = adapter;
    return device;
}

WorldAdapter Adapter(const std::string &name, bool powered) {
    WorldAdapter adapter;
    adapter.name = name;
    adapter.powered = powered;
    return adapter;
}

std::string Narrow(const std::wstring &text) {
    return std::string(text.begin(), text.end());
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

    // Opens, answers a command and closes.
    void OpenPingClose(const std::string &name) {
        OstrelDevice device = Ostrel_Device_Open(lib, name.c_str());
        ASSERT_NE(device, nullptr) << name;
        EXPECT_EQ(Ping(device), 0) << name;
        EXPECT_EQ(Ostrel_Device_Close(device), 0) << name;
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
        BlueZWorld unpowered({Adapter("hci0", false)}, {kPairedUnit});
        ASSERT_TRUE(unpowered.Up());
        const auto start = Clock::now();
        EXPECT_FALSE(IsBlueZStackUsable());
        EXPECT_LT(MillisecondsSince(start), kQuickMs);
    }
    StartWorld({}, {Adapter("hci1", false), WorldAdapter()});
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

TEST_F(BlueZTest, SearchInquiresForItsWindowAndListsEachUnitOnce) {
    // 15102 only inquiry finds, early in the window: without the BR/EDR
    // filter BlueZ would scan for LE devices first and find it too late.
    const WorldDevice found = Device("00:07:80:15:01:02", "QuorvelKTRX 15102", false, 300);
    const WorldDevice twice = Device("00:07:80:15:01:08", "QuorvelKTRX 15108", false);
    StartWorld({kPairedUnit, found, Device("00:07:80:15:01:03", "Headset", false),
                Device("00:07:80:15:01:04", "quorvelKTRX 15104", false), Device("00:07:80:15:01:05", "", false),
                Device("00:07:80:15:01:07", "QuorvelKTRX", false, 100),
                On(Device("00:07:80:15:01:06", "QuorvelKTRX 15106", true), "hci1"), twice,
                On(Device("00:07:80:15:01:08", "", true), "hci2")},
               {WorldAdapter(), Adapter("hci1", false), Adapter("hci2", true)});
    BluetoothStackType = kStackBlueZ;

    std::vector<GPortRef> ports;
    const auto start = Clock::now();
    EnumeratePorts(ports);
    EXPECT_GE(MillisecondsSince(start), kWindowMs);

    // The paired unit out of range, the one inquiry found, one with the bare
    // prefix, one BlueZ remembers on an adapter that is off, and the one two
    // adapters know, once, through the adapter where it is paired (which has
    // not learnt its name).
    std::map<std::wstring, std::pair<std::string, std::string>> listed;
    for (const GPortRef &port : ports) {
        BluetoothSocket::Address unit{}, adapter{};
        ASSERT_TRUE(BlueZPortRecord::Decode(port, unit, adapter));
        EXPECT_EQ(listed.count(port.GetDeviceName()), 0u) << Narrow(port.GetDeviceName());
        listed[port.GetDeviceName()] = {BluetoothSocket::AddressText(unit), BluetoothSocket::AddressText(adapter)};
    }
    const std::map<std::wstring, std::pair<std::string, std::string>> expected = {
        {L"", {"00:07:80:15:01:07", kFirstAdapter}},
        {L"15101", {"00:07:80:15:01:01", kFirstAdapter}},
        {L"15102", {"00:07:80:15:01:02", kFirstAdapter}},
        {L"15106", {"00:07:80:15:01:06", "00:1A:7D:DA:71:01"}},
        {L"15108", {"00:07:80:15:01:08", "00:1A:7D:DA:71:02"}},
    };
    EXPECT_EQ(listed, expected);
    for (const GPortRef &port : ports) {
        if (port.GetDeviceName() == L"15101") {
            EXPECT_EQ(port.GetLocation(), L"000780150101");
        }
    }

    const std::vector<std::string> events = world->Events();
    const auto filter = std::find(events.begin(), events.end(), "SetDiscoveryFilter /org/bluez/hci0 Transport=bredr");
    EXPECT_NE(filter, events.end());
    EXPECT_NE(std::find(filter, events.end(), "StartDiscovery /org/bluez/hci0 Transport=bredr"), events.end());
    EXPECT_EQ(world->CountEvents("StopDiscovery /org/bluez/hci0"), 1u);
    EXPECT_EQ(world->CountEvents("StartDiscovery /org/bluez/hci1"), 0u); // powered off
}

TEST_F(BlueZTest, OpenStreamMemoryAndCloseOverTheLibrarysOwnSocketsAgainAndAgain) {
    StartWorld({kPairedUnit});
    StartHost();
    EXPECT_EQ(Search(), std::vector<std::string>{"15101"});

    OstrelDevice device = Ostrel_Device_Open(lib, "15101");
    ASSERT_NE(device, nullptr);
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

    // A second open connects afresh; nothing was ever registered with BlueZ.
    OpenPingClose("15101");
    EXPECT_EQ(world->CountEvents("RegisterProfile"), 0u);
    EXPECT_EQ(world->CountEvents("ConnectProfile"), 0u);
}

TEST_F(BlueZTest, FindsTheSerialPortInEveryFormOfSdpAnswer) {
    WorldDevice pieces = Device("00:07:80:15:01:41", "QuorvelKTRX 15141", true);
    pieces.sdp = "long"; // 128-bit UUIDs, another service first, continuation
    pieces.channel = 5;
    WorldDevice high = Device("00:07:80:15:01:42", "QuorvelKTRX 15142", true);
    high.channel = 30;
    StartWorld({pieces, high});
    StartHost();
    Search();
    OpenPingClose("15141");
    OpenPingClose("15142");
}

TEST_F(BlueZTest, FailedOpensAreTracedWithTheReasonAndLeaveNothingHeld) {
    const WorldDevice unit = Device("00:07:80:15:01:21", "QuorvelKTRX 15121", true);
    const WorldDevice away = Device("00:07:80:15:01:22", "QuorvelKTRX 15122", true, -1, "absent");
    const WorldDevice stranger = Device("00:07:80:15:01:23", "QuorvelKTRX 15123", false, -1, "fail");
    StartWorld({unit, away, stranger});
    StartHost();
    EXPECT_EQ(Search(), (std::vector<std::string>{"15121", "15122", "15123"}));
    const std::wstring unitText = L"00:07:80:15:01:21";
    const struct {
        const char *key;
        const char *value;
        std::wstring trace;
    } cases[] = {
        {"connect", "fail",
         L"RFCOMM connect to " + unitText + L" channel 1 from 00:1A:7D:DA:71:00 failed: Connection refused"},
        {"sdp", "none", L"the unit at " + unitText + L" has no serial-port service"},
        {"sdp", "error", L"SDP query of " + unitText + L" failed: the unit answered error 0x0003"},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(world->Set(unit, "connect", "ok"));
        ASSERT_TRUE(world->Set(unit, "sdp", "ok"));
        ASSERT_TRUE(world->Set(unit, c.key, c.value));
        TraceCapture trace;
        EXPECT_EQ(Ostrel_Device_Open(lib, "15121"), nullptr) << c.value;
        EXPECT_TRUE(trace.Contains(c.trace)) << Narrow(trace.Text());
        EXPECT_TRUE(trace.Contains(L"Error opening Bluetooth device with id 15121"));
    }
    TraceCapture trace;
    EXPECT_EQ(Ostrel_Device_Open(lib, "15122"), nullptr);
    EXPECT_TRUE(trace.Contains(L"SDP connect to 00:07:80:15:01:22 from 00:1A:7D:DA:71:00 failed: Host is down"))
        << Narrow(trace.Text());
    // A refusal from a unit that is not paired says what to do.
    EXPECT_EQ(Ostrel_Device_Open(lib, "15123"), nullptr);
    EXPECT_TRUE(trace.Contains(L"the unit at 00:07:80:15:01:23 is not paired with the adapter 00:1A:7D:DA:71:00: "
                               L"pair it first"))
        << Narrow(trace.Text());
    EXPECT_FALSE(trace.Contains(L"the unit at 00:07:80:15:01:21 is not paired"));

    ASSERT_TRUE(world->Set(unit, "sdp", "ok"));
    ASSERT_TRUE(world->Set(unit, "connect", "ok"));
    OpenPingClose("15121");
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
}

TEST_F(BlueZTest, UnitSwitchedOffEndsTheLinkAndOpensAgainLater) {
    const WorldDevice unit = Device("00:07:80:15:01:31", "QuorvelKTRX 15131", true);
    StartWorld({unit});
    StartHost();
    OstrelDevice device = SearchAndOpen("15131");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(Ping(device), 0);
    TraceCapture trace;
    ASSERT_TRUE(world->KillUnits(unit));
    EXPECT_TRUE(WaitUntil([&] { return trace.Contains(L"Read Failed"); }, 10000));
    EXPECT_NE(Ping(device), 0);
    EXPECT_EQ(Ostrel_Device_Close(device), 0);
    OpenPingClose("15131");
}

TEST_F(BlueZTest, UnitsAreReachedByAddressThroughTheAdapterThatKnowsThem) {
    // 15161: BlueZ forgets it after the search (unpaired, not seen since).
    // 15162: two adapters know it, and only the one where it is paired
    // reaches it.
    const WorldDevice forgotten = Device("00:07:80:15:01:61", "QuorvelKTRX 15161", false);
    const WorldDevice shared = Device("00:07:80:15:01:62", "QuorvelKTRX 15162", false, -1, "absent");
    StartWorld({forgotten, shared, On(Device("00:07:80:15:01:62", "QuorvelKTRX 15162", true), "hci1")},
               {WorldAdapter(), Adapter("hci1", true)});
    StartHost();
    EXPECT_EQ(Search(), (std::vector<std::string>{"15161", "15162"}));
    ASSERT_TRUE(world->ForgetDevice(forgotten));
    OpenPingClose("15161");
    OpenPingClose("15162");
}

TEST_F(BlueZTest, OpensAcrossRestartsOfBlueZWithAndWithoutRelease) {
    const WorldDevice unit = Device("00:07:80:15:01:71", "QuorvelKTRX 15171", true);
    const WorldDevice other = Device("00:07:80:15:01:72", "QuorvelKTRX 15172", true);
    StartWorld({unit, other});
    StartHost();
    Search();
    OpenPingClose("15171");
    {
        // Another program's profile is released on a clean stop only.
        bluez_test::ChildProcess program(
            {"/usr/bin/python3", OSTREL_SERIAL_PORT_PROGRAM, BlueZWorld::DevicePath(other)});
        std::string line;
        for (int lines = 0; lines < 6; ++lines)
            line = program.ReadLine(20000);
        ASSERT_EQ(line, "again: ok, connections 1");
        ASSERT_TRUE(world->RestartBlueZ(true));
        EXPECT_EQ(program.ReadLine(20000), "released");
    }
    OpenPingClose("15171");
    ASSERT_TRUE(world->RestartBlueZ(false));
    OpenPingClose("15171");
    EXPECT_EQ(Search(), (std::vector<std::string>{"15171", "15172"}));
}

TEST_F(BlueZTest, TwoProcessesEachHoldTheirOwnUnitAndOneThatIsDoneLetsGo) {
    const WorldDevice mine = Device("00:07:80:15:01:81", "QuorvelKTRX 15181", true);
    const WorldDevice theirs = Device("00:07:80:15:01:82", "QuorvelKTRX 15182", true);
    StartWorld({mine, theirs});
    StartHost();
    Search();
    bluez_test::ChildProcess host({OSTREL_BLUEZ_HOST, "15182"});
    ASSERT_EQ(host.ReadLine(), "holding 15182");

    OstrelDevice device = Ostrel_Device_Open(lib, "15181");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(Ping(device), 0);
    // The other process, done with the library but alive, holds nothing.
    ASSERT_TRUE(host.WriteLine("close"));
    EXPECT_EQ(host.ReadLine(), "closed 15182");
    OstrelDevice second = Ostrel_Device_Open(lib, "15182");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(Ping(second), 0);
    EXPECT_EQ(Ping(device), 0);
    EXPECT_EQ(Ostrel_Device_Close(second), 0);
    EXPECT_EQ(Ostrel_Device_Close(device), 0);
    EXPECT_EQ(host.Finish(), 0);
}

TEST_F(BlueZTest, WorksBesideAnotherProgramThatUsesTheSerialPortProfile) {
    const WorldDevice theirs = Device("00:07:80:15:01:91", "QuorvelKTRX 15191", true);
    const WorldDevice mine = Device("00:07:80:15:01:92", "QuorvelKTRX 15192", true);
    StartWorld({theirs, mine});
    StartHost();
    Search();
    for (int run = 0; run < 2; ++run) {
        // The second run registers again: BlueZ dropped the first run's
        // profile when it left the bus.
        bluez_test::ChildProcess program(
            {"/usr/bin/python3", OSTREL_SERIAL_PORT_PROGRAM, BlueZWorld::DevicePath(theirs)});
        const std::vector<std::string> expected = {"registered",
                                                   "same path: org.bluez.Error.AlreadyExists",
                                                   "another program: org.bluez.Error.NotPermitted",
                                                   "connected: nonblocking",
                                                   "connect: ok",
                                                   "again: ok, connections 1"};
        for (const std::string &line : expected)
            EXPECT_EQ(program.ReadLine(20000), line) << "run " << run;
        OpenPingClose("15192");
        EXPECT_EQ(program.Finish(), 0);
        EXPECT_TRUE(
            WaitUntil([&] { return world->CountEvents("ProfileDropped") == static_cast<size_t>(run + 1); }, 10000));
    }
}
