// Choosing the stack and searching it: the version rule, the probes over
// fake APIs, and what both searches make of the devices they find.
#include "BluetoothStacks.h"
#include "FakeStacks.h"
#include "StackBackend.h"
#include "WidIShim.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

using stacks_test::FakeMicrosoftBluetooth;
using stacks_test::FakeWidcommShim;

namespace {

Platform::OsVersion Nt(uint32_t major, uint32_t minor, uint32_t servicePack) {
    return Platform::OsVersion{Platform::kPlatformWin32Nt, major, minor, servicePack};
}

// Selects a stack type for one test and puts the old one back.
class StackTypeScope {
  public:
    explicit StackTypeScope(int32_t type) : m_saved(BluetoothStackType.load()) { BluetoothStackType = type; }
    ~StackTypeScope() { BluetoothStackType = m_saved; }

  private:
    int32_t m_saved;
};

} // namespace

TEST(BluetoothStackProbes, VersionRuleNeedsXpServicePack2OrLaterOnNt) {
    EXPECT_FALSE(HasMicrosoftBluetoothInterface(Nt(5, 0, 4))); // Windows 2000
    EXPECT_FALSE(HasMicrosoftBluetoothInterface(Nt(5, 1, 1))); // XP SP1
    EXPECT_TRUE(HasMicrosoftBluetoothInterface(Nt(5, 1, 2)));  // XP SP2
    EXPECT_TRUE(HasMicrosoftBluetoothInterface(Nt(5, 2, 2)));
    EXPECT_FALSE(HasMicrosoftBluetoothInterface(Nt(5, 2, 0)));
    EXPECT_TRUE(HasMicrosoftBluetoothInterface(Nt(6, 0, 0)));
    EXPECT_TRUE(HasMicrosoftBluetoothInterface(Nt(6, 1, 1)));
    EXPECT_TRUE(HasMicrosoftBluetoothInterface(Nt(10, 0, 0)));
    EXPECT_FALSE(HasMicrosoftBluetoothInterface(Platform::OsVersion{1, 6, 1, 0})); // not NT
}

TEST(BluetoothStackProbes, WidcommProbeOpensAndClosesAStackEveryTime) {
    FakeWidcommShim shim;
    EXPECT_TRUE(IsWidcommStackUsable());
    EXPECT_TRUE(IsWidcommStackUsable()); // asked again, not remembered
    EXPECT_EQ(shim.Count("OpenStack"), 2u);
    EXPECT_EQ(shim.stacksOpen, 0);

    shim.stackAnswers = false;
    EXPECT_FALSE(IsWidcommStackUsable());
}

TEST(BluetoothStackProbes, MissingOrIncompleteShimAnswersNo) {
    FakeWidcommShim shim; // restores whatever the process had afterwards
    SetWidIShimForTesting(&stacks_test::IncompleteShim());
    EXPECT_EQ(WidIShim(), nullptr);
    EXPECT_FALSE(IsWidcommStackUsable());
    std::vector<GPortRef> ports(2);
    SearchWidcommStack(ports);
    EXPECT_EQ(ports.size(), 2u); // the search could not run: nothing changed
}

namespace {

std::map<int, std::string> g_shimLookups; // ordinal -> name

void *RecordShimLookup(void *, int ordinal, const char *name) {
    static char function;
    g_shimLookups[ordinal] = name;
    return &function;
}

} // namespace

// Each function of the shim comes from its own ordinal (and, where functions
// are found by name, its own name), whatever the order of the table's slots.
TEST(BluetoothStackProbes, EveryShimFunctionComesFromItsOwnOrdinal) {
    WidI::Api api{};
    ASSERT_TRUE(ResolveWidIShim(nullptr, &RecordShimLookup, api));
    const std::map<int, std::string> exported = {
        {1, "WidI_OpenStack"},
        {2, "WidI_CloseStack"},
        {3, "WidI_StartInquiry"},
        {4, "WidI_StopInquiry"},
        {5, "WidI_StartServiceDiscovery"},
        {6, "WidI_GetDeviceCount"},
        {7, "WidI_GetDeviceRecord"},
        {8, "WidI_CreateConnection"},
        {9, "WidI_SetReceiveCallback"},
        {10, "WidI_DestroyConnection"},
        {11, "WidI_Connect"},
        {12, "WidI_Disconnect"},
        {13, "WidI_Write"},
        {14, "WidI_ContinueDiscovery"},
        {15, "WidI_GetDiscoveredChannel"},
        {16, "WidI_SetConnectionTarget"},
        {17, "WidI_IsServiceFound"},
        {18, "WidI_SetEventCallback"},
    };
    EXPECT_EQ(g_shimLookups, exported);
}

// Probes A and C ask the operating system's version, which only Windows has:
// there the Microsoft stack comes first (and a yes is remembered), elsewhere
// the Widcomm shim decides. (No test skip here: skipping crashes the
// emulated 32-bit Wine this suite also runs under.)
TEST(BluetoothStackProbes, StackChoiceFollowsTheProbesInOrder) {
    FakeMicrosoftBluetooth api;
    FakeWidcommShim shim;
    if (IsMicrosoftInterfacePresent()) {
        api.radioPresent = true;
        EXPECT_TRUE(IsMicrosoftStackUsable());
        EXPECT_EQ(api.radioFindsOpen, 0);
        EXPECT_EQ(api.radiosOpen, 0);
        api.radioPresent = false; // the radio goes away: the yes stands
        EXPECT_TRUE(IsMicrosoftStackUsable());
        EXPECT_EQ(ChooseBluetoothStack(), kStackMicrosoft);
        EXPECT_EQ(shim.Count("OpenStack"), 0u); // never asked
    } else {
        // A radio the probes must not reach without the interface.
        EXPECT_FALSE(IsMicrosoftStackUsable());
        EXPECT_EQ(api.radioFindsOpen, 0);
        EXPECT_EQ(ChooseBluetoothStack(), kStackWidcomm);
        shim.stackAnswers = false;
        EXPECT_EQ(ChooseBluetoothStack(), kStackNone);
    }
}

// ---------------------------------------------------------------- searches

TEST(BluetoothStackSearch, NameRuleAddressTextAndDeviceName) {
    EXPECT_TRUE(IsUnitName(L"QuorvelKTRX"));
    EXPECT_TRUE(IsUnitName(L"QuorvelKTRX 12345"));
    EXPECT_FALSE(IsUnitName(L"quorvelKTRX 12345"));
    EXPECT_FALSE(IsUnitName(L"QuorvelKTR"));

    const uint8_t address[6] = {0x00, 0x0A, 0xBC, 0xDE, 0xF0, 0x12};
    EXPECT_EQ(AddressText(address), L"000abcdef012");

    EXPECT_EQ(UnitPort(L"QuorvelKTRX 12345", L"x", nullptr, 0).GetDeviceName(), L"12345");
    EXPECT_EQ(UnitPort(L"QuorvelKTRX", L"x", nullptr, 0).GetDeviceName(), L"");
    EXPECT_EQ(UnitPort(L"QuorvelKTRX-", L"x", nullptr, 0).GetDeviceName(), L"");
    EXPECT_EQ(UnitPort(L"QuorvelKTRX-7", L"x", nullptr, 0).GetDeviceName(), L"7");
}

TEST(BluetoothStackSearch, MicrosoftSearchKeepsUnitsWithTheirRecords) {
    FakeMicrosoftBluetooth api;
    api.devices = {{L"QuorvelKTRX 12345", {0x00, 0x07, 0x80, 0xAB, 0xCD, 0xEF}},
                   {L"Headset", {1, 2, 3, 4, 5, 6}},
                   {L"quorvelKTRX 1", {1, 2, 3, 4, 5, 7}},
                   {L"QuorvelKTRX", {0x10, 0x20, 0x30, 0x40, 0x50, 0x60}}};
    StackTypeScope scope(kStackMicrosoft);
    std::vector<GPortRef> ports(5);
    EnumeratePorts(ports);

    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].GetPortType(), 2);
    EXPECT_EQ(ports[0].GetLocation(), L"000780abcdef");
    EXPECT_EQ(ports[0].GetDeviceName(), L"12345");
    EXPECT_EQ(ports[0].GetAltName(), L"");
    ASSERT_EQ(ports[0].GetPortDataLength(), 560);
    EXPECT_EQ(ports[0].GetPortData()[559], 0xA0); // the first record, whole
    EXPECT_EQ(ports[0].GetPortData()[8], 0xEF);   // address, least significant byte first
    EXPECT_EQ(ports[1].GetLocation(), L"102030405060");
    EXPECT_EQ(ports[1].GetDeviceName(), L"");
    EXPECT_EQ(ports[1].GetPortData()[559], 0xA3);

    // Every call got a record with its size field set; all four kinds of
    // device, a new inquiry of 6 x 1.28 s.
    for (uint32_t size : api.sizeFieldsSeen)
        EXPECT_EQ(size, 560u);
    EXPECT_TRUE(api.lastParams.returnAuthenticated && api.lastParams.returnRemembered && api.lastParams.returnUnknown &&
                api.lastParams.returnConnected && api.lastParams.issueInquiry);
    EXPECT_EQ(api.lastParams.timeoutMultiplier, 6);
    EXPECT_EQ(api.deviceFindsOpen, 0);
}

TEST(BluetoothStackSearch, MicrosoftSearchThatCannotStartChangesNothing) {
    FakeMicrosoftBluetooth api;
    api.searchRuns = false;
    std::vector<GPortRef> ports(1);
    SearchMicrosoftStack(ports);
    EXPECT_EQ(ports.size(), 1u);

    SetMicrosoftBluetoothForTesting(nullptr); // no API at all (natively: none)
    const MicrosoftBluetoothApi missing{};
    SetMicrosoftBluetoothForTesting(&missing);
    SearchMicrosoftStack(ports);
    EXPECT_EQ(ports.size(), 1u);
}

TEST(BluetoothStackSearch, WidcommSearchReadsTheShimRecords) {
    FakeWidcommShim shim;
    shim.devices = {{L"QuorvelKTRX 777", {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}},
                    {L"QuorvelKTRX 888", {0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB}},
                    {L"Printer", {1, 1, 1, 1, 1, 1}},
                    {L"QuorvelKTRX 999", {0xCC, 0xDD, 0xEE, 0xFF, 0x00, 0x01}}};
    shim.nullRecords = {1}; // skipped, the loop goes on
    StackTypeScope scope(kStackWidcomm);
    std::vector<GPortRef> ports(3);
    EnumeratePorts(ports);

    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].GetLocation(), L"001122334455");
    EXPECT_EQ(ports[0].GetDeviceName(), L"777");
    ASSERT_EQ(ports[0].GetPortDataLength(), 260);
    EXPECT_EQ(std::memcmp(ports[0].GetPortData(), shim.records[0].data(), 260), 0);
    EXPECT_EQ(ports[1].GetLocation(), L"ccddeeff0001");
    EXPECT_EQ(ports[1].GetDeviceName(), L"999");
    EXPECT_EQ(shim.stacksOpen, 0);
    EXPECT_EQ(shim.calls.front(), "OpenStack");
    EXPECT_EQ(shim.calls[1], "StartInquiry");
    EXPECT_EQ(shim.calls[2], "StopInquiry");
    EXPECT_EQ(shim.calls.back(), "CloseStack");
}

TEST(BluetoothStackSearch, WidcommNameWithoutTerminatorEndsAtTheRecord) {
    FakeWidcommShim shim;
    shim.devices = {{L"QuorvelKTRX " + std::wstring(300, L'9'), {1, 2, 3, 4, 5, 6}}};
    std::vector<GPortRef> ports;
    SearchWidcommStack(ports);
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].GetDeviceName(), std::wstring(260 - 11 - 12, L'9'));
}
