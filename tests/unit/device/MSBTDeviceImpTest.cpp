// The Microsoft-stack device over a fake socket table: what it traces when a
// link cannot be made, how the reader hands chunks over and ends, and that a
// disconnect leaves no reader behind.
#include "DeviceTestSupport.h"
#include "TraceCapture.h"

#include "BluetoothStacks.h"
#include "GBluetoothDevice.h"
#include "MSBTDeviceImp.h"
#include "RfcommSocket.h"
#include "StackBackend.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using namespace device_test;

namespace {

constexpr int32_t kTestStack = 0x74;
constexpr uint64_t kUnitAddress = 0x0016A4012345ull;
constexpr int32_t kDeviceInfoSize = 560;

// Winsock's numbers, as the fake reports them.
constexpr int kErrorInterrupted = 10004;
constexpr int kErrorNotSocket = 10038;
constexpr int kErrorProtocolNotSupported = 10043;
constexpr int kErrorNotConnected = 10057;
constexpr int kErrorTimedOut = 10060;

// ---------------------------------------------------------------- fake sockets

struct FakeSocket {
    std::deque<Bytes> inbound;
    bool peerClosed = false;
    bool shutDown = false;
    bool closed = false;
    int receiving = 0; // threads inside recv on this socket
    Bytes sent;
};

// Sockets are numbers from 7 up. The test plays the peer: it queues chunks
// and closes the link; a receive waits for either, or for a local shutdown
// or close. It also notes what a real system would punish: a socket closed
// under a receive that still uses it (the system may give the number to the
// next socket at once) and a receive on a socket already closed.
struct FakeStack {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<RfcommSocketHandle, FakeSocket> sockets; // never erased
    RfcommSocketHandle nextSocket = 7;
    int openError = 0;    // non-zero: open fails with it
    int connectError = 0; // non-zero: connect fails with it
    int closeResult = 0;
    bool shutdownWakesReceive = true;
    bool sendsAfterPeerClose = false; // a stack that takes bytes into a link that is gone
    int opens = 0;
    int receiving = 0; // threads inside recv
    int closesUnderReceive = 0;
    int receivesOnClosed = 0;
    std::vector<std::string> calls; // "shutdown 7", "close 7"
    std::vector<RfcommSocketHandle> closes;
    std::vector<uint64_t> addresses;

    void Deliver(RfcommSocketHandle s, const Bytes &chunk) {
        std::lock_guard<std::mutex> lock(mutex);
        sockets[s].inbound.push_back(chunk);
        changed.notify_all();
    }
    void ClosePeer(RfcommSocketHandle s) {
        std::lock_guard<std::mutex> lock(mutex);
        sockets[s].peerClosed = true;
        changed.notify_all();
    }
    Bytes Sent(RfcommSocketHandle s) {
        std::lock_guard<std::mutex> lock(mutex);
        return sockets[s].sent;
    }
    int Receiving() {
        std::lock_guard<std::mutex> lock(mutex);
        return receiving;
    }
    std::vector<RfcommSocketHandle> Closes() {
        std::lock_guard<std::mutex> lock(mutex);
        return closes;
    }
    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
    // {closes under a receive, receives on a closed socket}
    std::pair<int, int> Misuses() {
        std::lock_guard<std::mutex> lock(mutex);
        return {closesUnderReceive, receivesOnClosed};
    }
};

FakeStack *g_fake = nullptr;
thread_local int t_lastError = 0;

int Fail(int error) {
    t_lastError = error;
    return kSocketError;
}

RfcommSocketHandle FakeOpen() {
    std::lock_guard<std::mutex> lock(g_fake->mutex);
    ++g_fake->opens;
    if (g_fake->openError != 0) {
        t_lastError = g_fake->openError;
        return kInvalidSocket;
    }
    const RfcommSocketHandle s = g_fake->nextSocket++;
    g_fake->sockets[s];
    return s;
}

int FakeConnect(RfcommSocketHandle s, uint64_t address) {
    std::lock_guard<std::mutex> lock(g_fake->mutex);
    g_fake->addresses.push_back(address);
    if (g_fake->sockets.count(s) == 0)
        return Fail(kErrorNotSocket);
    return g_fake->connectError != 0 ? Fail(g_fake->connectError) : 0;
}

int FakeSend(RfcommSocketHandle s, const uint8_t *bytes, int count) {
    std::lock_guard<std::mutex> lock(g_fake->mutex);
    auto found = g_fake->sockets.find(s);
    if (found == g_fake->sockets.end() || found->second.closed)
        return Fail(kErrorNotSocket);
    if (found->second.peerClosed && !g_fake->sendsAfterPeerClose)
        return Fail(kErrorNotConnected);
    found->second.sent.insert(found->second.sent.end(), bytes, bytes + count);
    return count;
}

int FakeRecv(RfcommSocketHandle s, uint8_t *buffer, int size) {
    std::unique_lock<std::mutex> lock(g_fake->mutex);
    auto found = g_fake->sockets.find(s);
    if (found == g_fake->sockets.end() || found->second.closed) {
        ++g_fake->receivesOnClosed;
        return Fail(kErrorNotSocket);
    }
    FakeSocket &socket = found->second;
    ++g_fake->receiving;
    ++socket.receiving;
    g_fake->changed.wait(lock, [&] {
        return !socket.inbound.empty() || socket.peerClosed || socket.closed ||
               (socket.shutDown && g_fake->shutdownWakesReceive);
    });
    --g_fake->receiving;
    --socket.receiving;
    if (socket.closed)
        return Fail(kErrorInterrupted);
    t_lastError = 0;
    if (socket.inbound.empty() || socket.shutDown)
        return 0; // orderly close by the peer, or shut down here
    Bytes &chunk = socket.inbound.front();
    const int n = std::min(size, static_cast<int>(chunk.size()));
    std::copy(chunk.begin(), chunk.begin() + n, buffer);
    chunk.erase(chunk.begin(), chunk.begin() + n);
    if (chunk.empty())
        socket.inbound.pop_front();
    return n;
}

int FakeShutdown(RfcommSocketHandle s) {
    std::lock_guard<std::mutex> lock(g_fake->mutex);
    g_fake->calls.push_back("shutdown " + std::to_string(s));
    g_fake->sockets[s].shutDown = true;
    g_fake->changed.notify_all();
    return 0;
}

int FakeClose(RfcommSocketHandle s) {
    std::lock_guard<std::mutex> lock(g_fake->mutex);
    g_fake->calls.push_back("close " + std::to_string(s));
    g_fake->closes.push_back(s);
    if (g_fake->sockets[s].receiving > 0)
        ++g_fake->closesUnderReceive;
    g_fake->sockets[s].closed = true;
    g_fake->changed.notify_all();
    return g_fake->closeResult;
}

int FakeLastError() {
    return t_lastError;
}

const RfcommSocketApi kFakeSockets = {&FakeOpen,     &FakeConnect, &FakeSend,     &FakeRecv,
                                      &FakeShutdown, &FakeClose,   &FakeLastError};

// ---------------------------------------------------------------- receiver

struct Receiver {
    std::mutex mutex;
    Bytes bytes;
    std::vector<std::thread::id> threads;

    static void Receive(const uint8_t *data, int32_t count, void *context) {
        auto *self = static_cast<Receiver *>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->bytes.insert(self->bytes.end(), data, data + count);
        self->threads.push_back(std::this_thread::get_id());
    }
    size_t Size() {
        std::lock_guard<std::mutex> lock(mutex);
        return bytes.size();
    }
};

// A receiver that can hold the reader inside the callback.
struct GatedReceiver {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = true;
    int entered = 0;

    static void Receive(const uint8_t *, int32_t, void *context) {
        auto *self = static_cast<GatedReceiver *>(context);
        std::unique_lock<std::mutex> lock(self->mutex);
        ++self->entered;
        self->changed.notify_all();
        self->changed.wait(lock, [self] { return self->open; });
    }
    void Set(bool isOpen) {
        std::lock_guard<std::mutex> lock(mutex);
        open = isOpen;
        changed.notify_all();
    }
    bool WaitEntered(int count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(30), [&] { return entered >= count; });
    }
};

void NoPorts(std::vector<GPortRef> &ports) {
    ports.clear();
}

const StackBackend kTestBackend = {&NoPorts, &CreateMSBTDevice};

// The platform's Bluetooth device record with the address at bytes 8 to 15.
GPortRef UnitPort(const std::wstring &location, int32_t recordSize = kDeviceInfoSize) {
    std::vector<uint8_t> record(kDeviceInfoSize, 0xEE);
    for (int i = 0; i < 8; ++i)
        record[8 + i] = static_cast<uint8_t>(kUnitAddress >> (8 * i));
    return GPortRef(location, L"KTRX-7", L"", record.data(), recordSize);
}

// A trace line of this module with its source line number as "#".
std::wstring Line(const std::wstring &message) {
    return L"MSBTDeviceImp.cpp(#) : " + message + L"\n";
}

// The captured lines with their source line numbers as "#".
std::vector<std::wstring> Unnumbered(const TraceCapture &capture) {
    std::vector<std::wstring> lines = capture.Lines();
    for (std::wstring &line : lines)
        line = std::regex_replace(line, std::wregex(L"^MSBTDeviceImp\\.cpp\\([0-9]+\\)"), L"MSBTDeviceImp.cpp(#)");
    return lines;
}

size_t CountLine(const TraceCapture &capture, const std::wstring &line) {
    const std::vector<std::wstring> lines = Unnumbered(capture);
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

class MSBTDeviceImpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_fake = &m_fake;
        SetRfcommSocketsForTesting(&kFakeSockets);
        m_savedType = BluetoothStackType.load();
        ASSERT_TRUE(RegisterStackBackend(kTestStack, &kTestBackend));
        BluetoothStackType = kTestStack;
    }
    void TearDown() override {
        RegisterStackBackend(kTestStack, nullptr);
        BluetoothStackType = m_savedType;
        SetRfcommSocketsForTesting(nullptr);
        g_fake = nullptr;
    }

    // A device as the library makes one: initialised, with a receiver.
    std::unique_ptr<GBluetoothDevice> MakeDevice(const GPortRef &port, bool withReceiver = true) {
        auto device = std::make_unique<GBluetoothDevice>(port);
        EXPECT_NE(device->m_impl, nullptr);
        EXPECT_TRUE(device->OSInitialize());
        if (withReceiver)
            device->SetReceiveCallback(&Receiver::Receive, &m_receiver);
        return device;
    }
    MSBTDeviceImp &Imp(GBluetoothDevice &device) { return *static_cast<MSBTDeviceImp *>(device.m_impl); }

    FakeStack m_fake;
    Receiver m_receiver;
    TestPort m_port;
    int32_t m_savedType = 0;
};

// ---------------------------------------------------------------- failed opens

TEST_F(MSBTDeviceImpTest, OpenWithoutReceiverOrAddressMakesNoSocket) {
    TraceCapture capture;
    auto device = MakeDevice(UnitPort(m_port.Location()), false);
    EXPECT_EQ(device->Open(nullptr), -1);
    EXPECT_FALSE(device->m_isOpen);

    // A record too short to hold the address is refused, not read past.
    auto shortRecord = MakeDevice(UnitPort(m_port.Location(), 15));
    EXPECT_EQ(shortRecord->Open(nullptr), -1);
    auto noRecord = MakeDevice(GPortRef(m_port.Location(), L"KTRX-7", L"", nullptr, 0));
    EXPECT_EQ(noRecord->Open(nullptr), -1);

    EXPECT_EQ(m_fake.opens, 0);
    EXPECT_EQ(capture.Count(L"Error opening Bluetooth device with id KTRX-7"), 3u);
}

TEST_F(MSBTDeviceImpTest, SocketThatCannotBeMadeIsTracedWithItsError) {
    m_fake.openError = kErrorProtocolNotSupported;
    auto device = MakeDevice(UnitPort(m_port.Location()));
    TraceCapture capture;
    EXPECT_EQ(device->Open(nullptr), -1);
    // One attempt on any system this runs on.
    EXPECT_EQ(m_fake.opens, 1);
    EXPECT_EQ(Unnumbered(capture), (std::vector<std::wstring>{
                                       Line(L"\nsocket function call failed with error 10043."),
                                       Line(L"Error opening Bluetooth device with id KTRX-7"),
                                   }));
}

TEST_F(MSBTDeviceImpTest, FailedConnectClosesTheSocketAndAllowsAnotherOpen) {
    m_fake.connectError = kErrorTimedOut;
    m_fake.closeResult = 0;
    auto device = MakeDevice(UnitPort(m_port.Location()));
    TraceCapture capture;
    EXPECT_EQ(device->Open(nullptr), -1);
    const std::wstring first = L"\nconnect call failed10060\n SOCKET ID:7";
    EXPECT_EQ(Unnumbered(capture), (std::vector<std::wstring>{
                                       Line(first),
                                       Line(first + L"\n CLOSING SOCKET:0"),
                                       Line(L"Error opening Bluetooth device with id KTRX-7"),
                                   }));
    EXPECT_EQ(m_fake.Closes(), std::vector<RfcommSocketHandle>{7});
    EXPECT_EQ(Imp(*device).Connection()->socket.load(), kInvalidSocket);
    EXPECT_EQ(m_fake.addresses, std::vector<uint64_t>{kUnitAddress});

    // The record is clean: the device comes up on the next try.
    m_fake.connectError = 0;
    EXPECT_EQ(device->Open(nullptr), 0);
    EXPECT_TRUE(device->m_isOpen);
    EXPECT_EQ(Imp(*device).Connection()->socket.load(), 8);
    EXPECT_EQ(device->Close(), 0);
}

// ---------------------------------------------------------------- without a link

TEST_F(MSBTDeviceImpTest, WriteWithoutLinkFailsWithCountZero) {
    auto device = MakeDevice(UnitPort(m_port.Location()));
    TraceCapture capture;
    const uint8_t bytes[3] = {1, 2, 3};
    int32_t count = 3;
    EXPECT_EQ(device->Write(bytes, &count), -1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(Unnumbered(capture), std::vector<std::wstring>{Line(L"Send Failed10038")});

    // Before OSInitialize there is no record: every operation but the status
    // fails, and the count is left alone.
    MSBTDeviceImp bare(device.get());
    count = 3;
    EXPECT_EQ(bare.Write(bytes, &count), -1);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(bare.Open(nullptr), -1);
    EXPECT_EQ(bare.Close(), -1);
    EXPECT_EQ(bare.ClearIO(), -1);
    EXPECT_EQ(bare.GetStatus(), 0);
    EXPECT_EQ(m_fake.opens, 0);
}

TEST_F(MSBTDeviceImpTest, StackOperationsNeedThePortClaim) {
    auto device = MakeDevice(UnitPort(m_port.Location()));
    MSBTDeviceImp &imp = Imp(*device);
    int32_t open = 0, close = 0;
    OnOtherThread([&] {
        open = imp.Open(nullptr);
        close = imp.Close();
    });
    EXPECT_EQ(open, -1);
    EXPECT_EQ(close, -1);
    EXPECT_EQ(m_fake.opens, 0);
    EXPECT_EQ(imp.ClearIO(), 0);
    uint8_t byte = 0;
    int32_t count = 1;
    EXPECT_EQ(imp.Read(&byte, &count, 0), -1);
}

// The platform's own sockets where no Bluetooth stack is reachable: Linux
// (10047) and Wine (10043). A machine with a working stack skips.
TEST_F(MSBTDeviceImpTest, WithoutTheStackNoSocketCanBeMade) {
    SetRfcommSocketsForTesting(nullptr);
    const RfcommSocketApi &sockets = RfcommSockets();
    const RfcommSocketHandle probe = sockets.open();
    if (probe != kInvalidSocket) {
        sockets.close(probe);
        GTEST_SKIP() << "this machine can make RFCOMM sockets";
    }
    const int error = sockets.lastError();
    auto device = MakeDevice(UnitPort(m_port.Location()));
    TraceCapture capture;
    EXPECT_EQ(device->Open(nullptr), -1);
    EXPECT_TRUE(capture.Contains(L"\nsocket function call failed with error " + std::to_wstring(error) + L"."))
        << "error " << error;
#ifndef _WIN32
    EXPECT_EQ(error, 10047);
#endif
}

#ifdef _WIN32
// The address the Microsoft stack connects to, as the bytes that reach
// Winsock's connect: 30 packed bytes, little-endian.
Bytes g_connectedTo;

int RecordConnect(RfcommSocketHandle, const uint8_t *address, int length) {
    g_connectedTo.assign(address, address + length);
    return 0;
}

TEST(MSBTSocketAddressTest, ConnectGetsTheUnitsSerialPortService) {
    SetSocketConnectForTesting(&RecordConnect);
    const int result = PlatformRfcommSockets().connectSerialPort(1234, kUnitAddress);
    SetSocketConnectForTesting(nullptr);
    EXPECT_EQ(result, 0);
    const Bytes expected = {
        0x20, 0x00,                                     // AF_BTH
        0x45, 0x23, 0x01, 0xA4, 0x16, 0x00, 0x00, 0x00, // the unit's address
        0x01, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, // 00001101-0000-1000-
        0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB, // 8000-00805F9B34FB
        0xFF, 0xFF, 0xFF, 0xFF,                         // any channel
    };
    EXPECT_EQ(g_connectedTo, expected);
}
#endif

// ---------------------------------------------------------------- live links

using MSBTDeviceImpConcurrencyTest = MSBTDeviceImpTest;

TEST_F(MSBTDeviceImpConcurrencyTest, ChunksReachTheCallbackUntilThePeerCloses) {
    auto device = MakeDevice(UnitPort(m_port.Location()));
    TraceCapture capture;
    ASSERT_EQ(device->Open(nullptr), 0);
    const RfcommSocketHandle s = Imp(*device).Connection()->socket.load();

    Bytes big(5000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 7);
    m_fake.Deliver(s, Bytes{'a', 'b', 'c'});
    m_fake.Deliver(s, big);
    ASSERT_TRUE(WaitUntil([&] { return m_receiver.Size() == 5003; }));
    {
        std::lock_guard<std::mutex> lock(m_receiver.mutex);
        Bytes expected{'a', 'b', 'c'};
        expected.insert(expected.end(), big.begin(), big.end());
        EXPECT_EQ(m_receiver.bytes, expected);
        // The big chunk comes in blocks of at most 3000 bytes, on the reader.
        EXPECT_EQ(m_receiver.threads.size(), 3u);
        for (const std::thread::id &id : m_receiver.threads)
            EXPECT_NE(id, std::this_thread::get_id());
    }

    const uint8_t command[4] = {0x10, 0x20, 0x30, 0x40};
    int32_t count = 4;
    EXPECT_EQ(device->Write(command, &count), 0);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(m_fake.Sent(s), Bytes(command, command + 4));

    m_fake.ClosePeer(s);
    ASSERT_TRUE(WaitUntil([&] { return capture.Contains(L"Read Failed"); }));
    EXPECT_EQ(CountLine(capture, Line(L"Read Failed0")), 1u);
    EXPECT_EQ(device->Write(command, &count), -1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(CountLine(capture, Line(L"Send Failed10057")), 1u);

    capture.Clear();
    EXPECT_EQ(device->Close(), 0);
    EXPECT_FALSE(device->m_isOpen);
    EXPECT_EQ(Unnumbered(capture), std::vector<std::wstring>{Line(L"\n CLOSING SOCKET:0")});
    // Nothing left to close: no trace.
    capture.Clear();
    EXPECT_EQ(device->Close(), 0);
    EXPECT_TRUE(capture.Lines().empty());
}

// A close right after an open must still wait for a reader that the system
// has not scheduled yet: once Close returns, the reader has ended and no
// thread is inside a receive.
TEST_F(MSBTDeviceImpConcurrencyTest, CloseReturnsOnlyAfterTheReaderHasEnded) {
    auto device = MakeDevice(UnitPort(m_port.Location()));
    TraceCapture capture;
    constexpr int kCycles = 20;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        ASSERT_EQ(device->Open(nullptr), 0);
        const RfcommSocketHandle s = Imp(*device).Connection()->socket.load();
        if (cycle % 2 == 0) {
            const size_t before = m_receiver.Size();
            m_fake.Deliver(s, Bytes{static_cast<uint8_t>(cycle)});
            ASSERT_TRUE(WaitUntil([&] { return m_receiver.Size() == before + 1; }));
        }
        ASSERT_EQ(device->Close(), 0);
        EXPECT_EQ(m_fake.Receiving(), 0);
        EXPECT_EQ(capture.Count(L"Read Failed"), static_cast<size_t>(cycle + 1));
    }
}

// The close race: once a socket is closed, the system may give its number to
// the next socket made anywhere in the process, and a reader still about to
// receive on it would read another connection's bytes or wait for ever. So a
// close shuts the socket down, waits for the reader and only then closes the
// socket: never under a receive, and never before a receive still to come,
// also when the reader is busy in the callback as the close begins.
TEST_F(MSBTDeviceImpConcurrencyTest, SocketIsClosedOnlyAfterItsReaderHasEnded) {
    auto device = MakeDevice(UnitPort(m_port.Location()), false);
    GatedReceiver receiver;
    device->SetReceiveCallback(&GatedReceiver::Receive, &receiver);
    for (int cycle = 0; cycle < 6; ++cycle) {
        ASSERT_EQ(device->Open(nullptr), 0);
        const RfcommSocketHandle s = Imp(*device).Connection()->socket.load();
        std::thread releaser;
        if (cycle % 2 == 1) {
            receiver.Set(false);
            m_fake.Deliver(s, Bytes{1, 2, 3});
            ASSERT_TRUE(receiver.WaitEntered(cycle / 2 + 1));
            releaser = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                receiver.Set(true);
            });
        }
        ASSERT_EQ(device->Close(), 0);
        if (releaser.joinable())
            releaser.join();
        const std::vector<std::string> calls = m_fake.Calls();
        ASSERT_GE(calls.size(), 2u);
        EXPECT_EQ(std::vector<std::string>(calls.end() - 2, calls.end()),
                  (std::vector<std::string>{"shutdown " + std::to_string(s), "close " + std::to_string(s)}));
        EXPECT_EQ(m_fake.Receiving(), 0);
    }
    EXPECT_EQ(m_fake.Misuses(), std::make_pair(0, 0));
}

// A stack whose shutdown leaves the receive waiting must not hang the close:
// after a bound the socket is closed under the receive, which ends it, and
// the reader, told to stop, receives no more.
TEST_F(MSBTDeviceImpConcurrencyTest, ReceiveThatShutdownDoesNotEndIsEndedByTheClose) {
    m_fake.shutdownWakesReceive = false;
    auto device = MakeDevice(UnitPort(m_port.Location()));
    TraceCapture capture;
    ASSERT_EQ(device->Open(nullptr), 0);
    ASSERT_TRUE(WaitUntil([&] { return m_fake.Receiving() == 1; }));
    EXPECT_EQ(device->Close(), 0);
    EXPECT_EQ(m_fake.Calls(), (std::vector<std::string>{"shutdown 7", "close 7"}));
    EXPECT_EQ(m_fake.Misuses(), std::make_pair(1, 0));
    EXPECT_EQ(m_fake.Receiving(), 0);
    EXPECT_EQ(capture.Count(L"Read Failed"), 1u);
    EXPECT_EQ(capture.Count(L"CLOSING SOCKET:0"), 1u);
}

TEST_F(MSBTDeviceImpConcurrencyTest, SecondOpenReplacesTheLink) {
    auto device = MakeDevice(UnitPort(m_port.Location()));
    TraceCapture capture;
    ASSERT_EQ(device->Open(nullptr), 0);
    ASSERT_EQ(device->Open(nullptr), 0);
    // The first socket is closed and its reader gone before the second runs.
    EXPECT_EQ(m_fake.Closes(), std::vector<RfcommSocketHandle>{7});
    EXPECT_EQ(capture.Count(L"Read Failed"), 1u);
    m_fake.Deliver(8, Bytes{9, 9});
    EXPECT_TRUE(WaitUntil([&] { return m_receiver.Size() == 2; }));
}

TEST_F(MSBTDeviceImpConcurrencyTest, LinkThatEndedRefusesWritesThatTheSocketWouldTake) {
    m_fake.sendsAfterPeerClose = true;
    auto device = MakeDevice(UnitPort(m_port.Location()));
    TraceCapture capture;
    ASSERT_EQ(device->Open(nullptr), 0);
    m_fake.ClosePeer(7);
    ASSERT_TRUE(WaitUntil([&] { return capture.Contains(L"Read Failed"); }));
    const uint8_t command[2] = {1, 2};
    int32_t count = 2;
    EXPECT_EQ(device->Write(command, &count), -1);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(m_fake.Sent(7).empty());
    EXPECT_EQ(CountLine(capture, Line(L"Send Failed10057")), 1u);
    // A fresh link takes writes again.
    ASSERT_EQ(device->Open(nullptr), 0);
    count = 2;
    EXPECT_EQ(device->Write(command, &count), 0);
    EXPECT_EQ(m_fake.Sent(8), Bytes(command, command + 2));
}

TEST_F(MSBTDeviceImpConcurrencyTest, DestroyingTheOpenDeviceEndsTheLink) {
    TraceCapture capture;
    {
        auto device = MakeDevice(UnitPort(m_port.Location()));
        ASSERT_EQ(device->Open(nullptr), 0);
    }
    EXPECT_EQ(m_fake.Closes(), std::vector<RfcommSocketHandle>{7});
    EXPECT_EQ(m_fake.Receiving(), 0);
    EXPECT_EQ(capture.Count(L"Read Failed"), 1u);
}

} // namespace
