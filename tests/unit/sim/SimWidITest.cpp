// The simulated shim through its C functions, as a host sees it.
#include "SimWidI.h"
#include "SimTestHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

using namespace simtest;
using sim::SimUnit;
namespace shim = sim::SimWidI;

namespace {

// What one connection's callbacks saw.
struct Receiver {
    std::mutex mutex;
    std::condition_variable changed;
    Bytes bytes;
    std::vector<int> events;
    std::set<std::thread::id> threads;
    std::atomic<int> calls{0};

    static void OnBytes(const unsigned char *bytes, int count, void *context) {
        auto *self = static_cast<Receiver *>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->bytes.insert(self->bytes.end(), bytes, bytes + count);
        self->threads.insert(std::this_thread::get_id());
        ++self->calls;
        self->changed.notify_all();
    }
    static int OnEvent(void *context, int event) {
        auto *self = static_cast<Receiver *>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->events.push_back(event);
        self->changed.notify_all();
        return 0;
    }
    Response Await(uint8_t cmd, uint8_t signature) {
        Response r;
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, kPatience, [&] {
            r = Collect(CutBlobs(bytes), cmd, signature);
            return r.complete;
        });
        return r;
    }
    bool AwaitEvent(int event) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kPatience,
                                [&] { return std::find(events.begin(), events.end(), event) != events.end(); });
    }
};

// The address as the shim's records and arguments carry it.
std::array<unsigned char, 6> Wire(const SimUnit &unit) {
    std::array<unsigned char, 6> out{};
    for (size_t i = 0; i < 6; ++i)
        out[i] = unit.BluetoothAddress()[5 - i];
    return out;
}

int Write(WidI_Connection c, const Bytes &bytes, int *count) {
    *count = static_cast<int>(bytes.size());
    return WidI_Write(c, bytes.data(), count);
}

class SimWidI : public ::testing::Test {
  protected:
    void SetUp() override {
        m_saved = shim::Units();
        m_stacks = shim::OpenStacks();
        m_connections = shim::LiveConnections();
        // Distinct bytes, so that a reversed address finds nothing.
        a = std::make_shared<SimUnit>("12345", SimUnit::Address{0x02, 0x11, 0x22, 0x33, 0x44, 0x55});
        b = std::make_shared<SimUnit>("67890", SimUnit::Address{0x02, 0x66, 0x77, 0x88, 0x99, 0xAA});
        shim::SetUnits({a, b});
    }
    void TearDown() override {
        EXPECT_EQ(shim::OpenStacks(), m_stacks) << "a stack handle was not closed";
        EXPECT_EQ(shim::LiveConnections(), m_connections) << "a connection was not destroyed";
        shim::SetUnits(m_saved);
    }
    // A connection aimed at the unit, with both callbacks on the receiver.
    WidI_Connection Aimed(const SimUnit &unit, Receiver &receiver, unsigned char channel = shim::kChannel) {
        WidI_Connection c = WidI_CreateConnection();
        WidI_SetReceiveCallback(c, &Receiver::OnBytes, &receiver);
        WidI_SetEventCallback(c, &Receiver::OnEvent, &receiver);
        WidI_SetConnectionTarget(c, Wire(unit).data(), channel);
        return c;
    }

    std::shared_ptr<SimUnit> a, b;

  private:
    std::vector<std::shared_ptr<SimUnit>> m_saved;
    size_t m_stacks = 0;
    size_t m_connections = 0;
};

} // namespace

TEST_F(SimWidI, InquiryRecordsCarryAddressLsbFirstAndNameAtByte11) {
    WidI_Stack stack = WidI_OpenStack();
    ASSERT_NE(stack, nullptr);
    EXPECT_EQ(WidI_GetDeviceCount(stack), 0);
    EXPECT_EQ(WidI_GetDeviceRecord(stack, 0), nullptr);

    WidI_StartInquiry(stack);
    WidI_StopInquiry(stack);
    ASSERT_EQ(WidI_GetDeviceCount(stack), 2);
    const unsigned char *first = WidI_GetDeviceRecord(stack, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(0, std::memcmp(first + shim::kRecordAddress, Wire(*a).data(), 6));
    EXPECT_EQ(first[4], 0x55);
    EXPECT_EQ(first[9], 0x02);
    EXPECT_EQ(first[shim::kRecordChannel], 0);
    EXPECT_STREQ(reinterpret_cast<const char *>(first + shim::kRecordName), "QuorvelKTRX 12345");
    EXPECT_EQ(first[shim::kRecordSize - 1], 0);
    EXPECT_STREQ(reinterpret_cast<const char *>(WidI_GetDeviceRecord(stack, 1) + 11), "QuorvelKTRX 67890");
    EXPECT_EQ(WidI_GetDeviceRecord(stack, 2), nullptr);
    EXPECT_EQ(WidI_GetDeviceRecord(stack, -1), nullptr);

    // A later inquiry answers anew; what was handed out stays readable until close.
    shim::SetUnits({b});
    WidI_StartInquiry(stack);
    EXPECT_EQ(WidI_GetDeviceCount(stack), 1);
    EXPECT_EQ(first[shim::kRecordName + 16], '5');
    EXPECT_STREQ(reinterpret_cast<const char *>(WidI_GetDeviceRecord(stack, 0) + 11), "QuorvelKTRX 67890");
    WidI_CloseStack(stack);
}

TEST_F(SimWidI, ServiceSearchFindsListedUnitsWhoseServiceIsOn) {
    WidI_Stack stack = WidI_OpenStack();
    WidI_StartServiceDiscovery(stack, Wire(*a).data());
    WidI_ContinueDiscovery(stack);
    EXPECT_NE(WidI_IsServiceFound(stack), 0);
    EXPECT_EQ(WidI_GetDiscoveredChannel(stack), shim::kChannel);

    shim::SetServiceFound(b.get(), false);
    WidI_StartServiceDiscovery(stack, Wire(*b).data());
    EXPECT_EQ(WidI_IsServiceFound(stack), 0);
    EXPECT_EQ(WidI_GetDiscoveredChannel(stack), 0);

    // Most significant byte first is some other device.
    WidI_StartServiceDiscovery(stack, a->BluetoothAddress().data());
    EXPECT_EQ(WidI_IsServiceFound(stack), 0);
    WidI_StartServiceDiscovery(stack, nullptr);
    EXPECT_EQ(WidI_IsServiceFound(stack), 0);
    WidI_CloseStack(stack);
}

TEST_F(SimWidI, ConnectedLinkCarriesCommandsAndRepliesOnTheUnitsThread) {
    Receiver receiver;
    WidI_Connection c = Aimed(*a, receiver);
    ASSERT_EQ(WidI_Connect(c), 0);
    EXPECT_TRUE(receiver.AwaitEvent(shim::kEventConnected));

    int count = 0;
    const Bytes init = Command(SimUnit::kCmdInit, 0x21, kInitParams);
    ASSERT_EQ(Write(c, init, &count), 0);
    EXPECT_EQ(count, static_cast<int>(init.size()));
    ASSERT_EQ(Write(c, Command(SimUnit::kCmdGetPeriod, 0x22), &count), 0);
    EXPECT_TRUE(receiver.Await(SimUnit::kCmdInit, 0x21).complete);
    EXPECT_TRUE(receiver.Await(SimUnit::kCmdGetPeriod, 0x22).complete);
    EXPECT_EQ(a->CommandCount(SimUnit::kCmdInit), 1u);
    {
        std::lock_guard<std::mutex> lock(receiver.mutex);
        EXPECT_EQ(receiver.threads.count(std::this_thread::get_id()), 0u);
    }

    WidI_Disconnect(c);
    EXPECT_TRUE(receiver.AwaitEvent(shim::kEventDisconnected));
    count = 5;
    EXPECT_EQ(Write(c, init, &count), -1);
    EXPECT_EQ(count, 0);
    WidI_Disconnect(c); // twice is harmless
    WidI_DestroyConnection(c);
}

TEST_F(SimWidI, ConnectRefusesUnknownTargetsAndASecondLinkToAUnit) {
    Receiver r1, r2;
    WidI_Connection untargeted = WidI_CreateConnection();
    EXPECT_EQ(WidI_Connect(untargeted), -1);
    WidI_DestroyConnection(untargeted);

    WidI_Connection wrongChannel = Aimed(*a, r1, 2);
    EXPECT_EQ(WidI_Connect(wrongChannel), -1);
    WidI_DestroyConnection(wrongChannel);

    shim::SetServiceFound(b.get(), false);
    WidI_Connection noService = Aimed(*b, r1);
    EXPECT_EQ(WidI_Connect(noService), -1);
    WidI_DestroyConnection(noService);

    SimUnit unlisted("55555", SimUnit::Address{0x02, 1, 2, 3, 4, 5});
    WidI_Connection unknown = Aimed(unlisted, r1);
    EXPECT_EQ(WidI_Connect(unknown), -1);
    WidI_DestroyConnection(unknown);

    WidI_Connection first = Aimed(*a, r1);
    WidI_Connection second = Aimed(*a, r2);
    ASSERT_EQ(WidI_Connect(first), 0);
    EXPECT_EQ(WidI_Connect(second), -1);
    EXPECT_EQ(WidI_Connect(first), 0); // a fresh link for the holder
    int count = 0;
    EXPECT_EQ(Write(second, Command(SimUnit::kCmdGetPeriod, 1), &count), -1);

    WidI_DestroyConnection(first); // releases the unit
    ASSERT_EQ(WidI_Connect(second), 0);
    ASSERT_EQ(Write(second, Command(SimUnit::kCmdGetPeriod, 2), &count), 0);
    EXPECT_TRUE(r2.Await(SimUnit::kCmdGetPeriod, 2).complete);
    WidI_DestroyConnection(second);
}

TEST_F(SimWidI, NoCallbackRunsOnceDisconnectHasReturned) {
    struct Late {
        std::atomic<bool> disconnected{false};
        std::atomic<int> calls{0};
        std::atomic<int> late{0};
    } late;
    auto onBytes = [](const unsigned char *, int, void *context) {
        auto *self = static_cast<Late *>(context);
        ++self->calls;
        std::this_thread::sleep_for(std::chrono::milliseconds(1)); // widen the window
        if (self->disconnected)
            ++self->late;
    };
    a->SetChunkSize(8);
    WidI_Connection c = WidI_CreateConnection();
    WidI_SetReceiveCallback(c, onBytes, &late);
    WidI_SetConnectionTarget(c, Wire(*a).data(), shim::kChannel);
    ASSERT_EQ(WidI_Connect(c), 0);
    a->QueueMeasurements(200);
    for (int i = 0; i < 3000 && late.calls < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_GE(late.calls.load(), 3);

    WidI_Disconnect(c);
    late.disconnected = true;
    const int calls = late.calls;
    std::this_thread::sleep_for(kQuiet);
    EXPECT_EQ(late.calls.load(), calls);
    EXPECT_EQ(late.late.load(), 0);
    WidI_DestroyConnection(c);
}

TEST_F(SimWidI, DisconnectFromInsideTheReceiveCallbackStopsTheLink) {
    struct Inside {
        WidI_Connection c = nullptr;
        std::atomic<int> calls{0};
        std::atomic<int> writeResult{0};
    } inside;
    auto onBytes = [](const unsigned char *, int, void *context) {
        auto *self = static_cast<Inside *>(context);
        if (++self->calls != 1)
            return;
        WidI_Disconnect(self->c); // must neither deadlock nor wait for itself
        int count = 1;
        const unsigned char byte = 0;
        self->writeResult = WidI_Write(self->c, &byte, &count);
    };
    a->SetChunkSize(8);
    inside.c = WidI_CreateConnection();
    WidI_SetReceiveCallback(inside.c, onBytes, &inside);
    WidI_SetConnectionTarget(inside.c, Wire(*a).data(), shim::kChannel);
    ASSERT_EQ(WidI_Connect(inside.c), 0);
    a->QueueMeasurements(50);
    for (int i = 0; i < 3000 && a->IsConnected(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(a->IsConnected());
    std::this_thread::sleep_for(kQuiet);
    EXPECT_EQ(inside.calls.load(), 1);
    EXPECT_EQ(inside.writeResult.load(), -1);

    // The unit stays with the connection until it is destroyed, then is free.
    Receiver other;
    WidI_Connection next = Aimed(*a, other);
    EXPECT_EQ(WidI_Connect(next), -1);
    WidI_DestroyConnection(inside.c);
    EXPECT_EQ(WidI_Connect(next), 0);
    WidI_DestroyConnection(next);
}

TEST_F(SimWidI, LinkClosedByTheUnitIsReportedAndFailsWrites) {
    Receiver receiver;
    WidI_Connection c = Aimed(*a, receiver);
    ASSERT_EQ(WidI_Connect(c), 0);
    a->CloseLink();
    EXPECT_TRUE(receiver.AwaitEvent(shim::kEventLinkLost));
    int count = 0;
    EXPECT_EQ(Write(c, Command(SimUnit::kCmdGetPeriod, 1), &count), -1);
    EXPECT_EQ(count, 0);

    ASSERT_EQ(WidI_Connect(c), 0); // the host reopens
    ASSERT_EQ(Write(c, Command(SimUnit::kCmdGetPeriod, 2), &count), 0);
    EXPECT_TRUE(receiver.Await(SimUnit::kCmdGetPeriod, 2).complete);
    WidI_DestroyConnection(c);
}

TEST_F(SimWidI, UnitOutOfReachIsNeitherListedNorFoundNorConnected) {
    Receiver receiver;
    WidI_Connection c = Aimed(*a, receiver);
    ASSERT_EQ(WidI_Connect(c), 0);
    a->DropLinkAfter(std::chrono::milliseconds(0), std::chrono::milliseconds(1500));
    EXPECT_TRUE(receiver.AwaitEvent(shim::kEventLinkLost));
    int count = 0;
    EXPECT_EQ(Write(c, Command(SimUnit::kCmdGetPeriod, 1), &count), -1);

    const auto seen = [&] {
        WidI_Stack stack = WidI_OpenStack();
        WidI_StartInquiry(stack);
        const int listed = WidI_GetDeviceCount(stack);
        WidI_StartServiceDiscovery(stack, Wire(*a).data());
        const bool found = WidI_IsServiceFound(stack) != 0;
        WidI_CloseStack(stack);
        return std::make_pair(listed, found);
    };
    EXPECT_EQ(seen(), std::make_pair(1, false)); // b alone
    WidI_Disconnect(c);
    EXPECT_EQ(WidI_Connect(c), -1);
    while (!a->InReach())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(seen(), std::make_pair(2, true));
    ASSERT_EQ(WidI_Connect(c), 0);
    ASSERT_EQ(Write(c, Command(SimUnit::kCmdGetPeriod, 2), &count), 0);
    EXPECT_TRUE(receiver.Await(SimUnit::kCmdGetPeriod, 2).complete);
    WidI_DestroyConnection(c);
}

TEST_F(SimWidI, NullAndSpentHandlesDoNothing) {
    const unsigned char address[6] = {0x55, 0x44, 0x33, 0x22, 0x11, 0x02};
    WidI_CloseStack(nullptr);
    WidI_StartInquiry(nullptr);
    WidI_StopInquiry(nullptr);
    WidI_StartServiceDiscovery(nullptr, address);
    EXPECT_EQ(WidI_GetDeviceCount(nullptr), 0);
    EXPECT_EQ(WidI_GetDeviceRecord(nullptr, 0), nullptr);
    WidI_ContinueDiscovery(nullptr);
    EXPECT_EQ(WidI_IsServiceFound(nullptr), 0);
    EXPECT_EQ(WidI_GetDiscoveredChannel(nullptr), 0);
    WidI_SetReceiveCallback(nullptr, &Receiver::OnBytes, nullptr);
    WidI_SetEventCallback(nullptr, &Receiver::OnEvent, nullptr);
    WidI_SetConnectionTarget(nullptr, address, 1);
    EXPECT_EQ(WidI_Connect(nullptr), -1);
    WidI_Disconnect(nullptr);
    WidI_DestroyConnection(nullptr);
    int count = 1;
    EXPECT_EQ(WidI_Write(nullptr, address, &count), -1);
    EXPECT_EQ(count, 0);

    Receiver receiver;
    WidI_Connection c = Aimed(*a, receiver);
    ASSERT_EQ(WidI_Connect(c), 0);
    EXPECT_EQ(WidI_Write(c, address, nullptr), -1);
    count = 1;
    EXPECT_EQ(WidI_Write(c, nullptr, &count), -1);
    WidI_DestroyConnection(c);
    WidI_DestroyConnection(c); // spent: ignored
    EXPECT_EQ(WidI_Connect(c), -1);
    EXPECT_FALSE(a->IsConnected());

    WidI_Stack stack = WidI_OpenStack();
    WidI_CloseStack(stack);
    WidI_CloseStack(stack);
    WidI_StartInquiry(stack);
    EXPECT_EQ(WidI_GetDeviceCount(stack), 0);
}

namespace {

void SetEnv(const char *name, const char *value) {
#ifdef _WIN32
    _putenv_s(name, value != nullptr ? value : "");
#else
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
#endif
}

std::vector<std::string> Serials() {
    std::vector<std::string> serials;
    for (const std::shared_ptr<SimUnit> &unit : shim::Units())
        serials.push_back(unit->Serial());
    return serials;
}

} // namespace

TEST_F(SimWidI, UnitSetComesFromTheEnvironment) {
    SetEnv("ZEL_WIDI_SIM_UNITS", " 111, ,222,111,");
    SetEnv("ZEL_WIDI_SIM_NO_SERVICE", "222");
    SetEnv("ZEL_WIDI_SIM_LINK_RATE", "0");
    shim::ResetUnits();
    EXPECT_EQ(Serials(), (std::vector<std::string>{"111", "222"}));
    const std::vector<std::shared_ptr<SimUnit>> units = shim::Units();
    EXPECT_EQ(units[0]->LinkRate(), 0u); // memory speed
    EXPECT_EQ(units[1]->LinkRate(), 0u);
    WidI_Stack stack = WidI_OpenStack();
    WidI_StartServiceDiscovery(stack, Wire(*units[0]).data());
    EXPECT_NE(WidI_IsServiceFound(stack), 0);
    WidI_StartServiceDiscovery(stack, Wire(*units[1]).data());
    EXPECT_EQ(WidI_IsServiceFound(stack), 0);
    WidI_CloseStack(stack);

    SetEnv("ZEL_WIDI_SIM_UNITS", ",");
    SetEnv("ZEL_WIDI_SIM_NO_SERVICE", nullptr);
    shim::ResetUnits();
    EXPECT_EQ(Serials(), (std::vector<std::string>{"12345", "67890"}));
    EXPECT_EQ(shim::Units()[0]->Name(), "QuorvelKTRX 12345");

    // Unset or not a number: a classic Bluetooth serial link.
    for (const char *rate : {static_cast<const char *>(nullptr), "", "fast", "-5", "99999999999"}) {
        SetEnv("ZEL_WIDI_SIM_LINK_RATE", rate);
        shim::ResetUnits();
        EXPECT_EQ(shim::Units()[1]->LinkRate(), shim::kDefaultLinkRate) << (rate != nullptr ? rate : "unset");
    }
    SetEnv("ZEL_WIDI_SIM_LINK_RATE", "250000");
    shim::ResetUnits();
    EXPECT_EQ(shim::Units()[1]->LinkRate(), 250000u);
    SetEnv("ZEL_WIDI_SIM_LINK_RATE", nullptr);

    const std::pair<const char *, bool> drops[] = {
        {"20:5", true}, {"0.5:1.25", true}, {"0:0", true},   {nullptr, false}, {"", false},    {"20", false},
        {"20:", false}, {":5", false},      {"-1:5", false}, {"1:2:3", false}, {"a:b", false}, {"1:nan", false},
    };
    for (const auto &[text, armed] : drops) {
        SetEnv("ZEL_WIDI_SIM_LINK_DROP", text);
        shim::ResetUnits();
        EXPECT_EQ(shim::Units()[0]->DropPending(), armed) << (text != nullptr ? text : "unset");
        EXPECT_EQ(shim::Units()[1]->DropPending(), armed) << (text != nullptr ? text : "unset");
    }
    SetEnv("ZEL_WIDI_SIM_LINK_DROP", nullptr);
    SetEnv("ZEL_WIDI_SIM_UNITS", nullptr);
}
