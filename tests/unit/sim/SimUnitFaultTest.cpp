#include "SimTestHost.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace simtest;
using sim::SimUnit;

namespace {

struct Connected {
    SimUnit unit;
    TestHost host{unit};
    Connected() { unit.Connect(); }
};

} // namespace

TEST(SimUnitFaults, GarbageComesBeforeEveryInitResponse) {
    Connected c;
    const Bytes garbage = {0x26, 0x00, 0xB8, 0x1A, 0x13};
    c.unit.SetGarbageBeforeInit(garbage);
    c.host.Send(0x1A, 0xFF, kInitParams);
    ASSERT_TRUE(c.host.WaitForBytes(31));
    const Bytes got = c.host.Received();
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 5), garbage);
    const std::vector<Bytes> blobs = CutBlobs(got, 5);
    ASSERT_EQ(blobs.size(), 1u);
    EXPECT_EQ(blobs[0][0], 0xB8);
    EXPECT_EQ(blobs[0][5], 0xFF);
}

TEST(SimUnitFaults, CorruptsTheChecksumOfTheNthBlobOnly) {
    Connected c;
    c.unit.CorruptChecksumOfBlob(2);
    for (uint8_t counter = 1; counter <= 3; ++counter)
        ASSERT_TRUE(c.host.Exchange(0x1C, counter).complete);
    const std::vector<Bytes> blobs = CutBlobs(c.host.Received());
    ASSERT_EQ(blobs.size(), 3u);
    EXPECT_EQ(blobs[0][3], Checksum(blobs[0]));
    EXPECT_NE(blobs[1][3], Checksum(blobs[1]));
    EXPECT_EQ(blobs[2][3], Checksum(blobs[2]));
}

TEST(SimUnitFaults, InjectsOneUnrecognisedBlobBeforeTheNextResponse) {
    Connected c;
    c.unit.InjectBlobBeforeNextResponse(0x60);
    c.host.Exchange(0x1C, 1);
    c.host.Exchange(0x1C, 2);
    const std::vector<Bytes> blobs = CutBlobs(c.host.Received());
    ASSERT_EQ(blobs.size(), 3u);
    EXPECT_EQ(blobs[0][0], 0x60);
    EXPECT_EQ(blobs[0][3], Checksum(blobs[0]));
    EXPECT_EQ(blobs[1][0], 0x98);
    EXPECT_EQ(blobs[2][0], 0x98);
}

TEST(SimUnitFaults, DropsTheNextResponseOrAllResponsesToACommand) {
    Connected c;
    c.unit.DropNextResponse();
    c.host.Send(0x27, 1, ReadParams(0xFF, 0, 600)); // all three blobs go
    EXPECT_TRUE(c.host.Exchange(0x1C, 2).complete);
    c.unit.SetDropResponsesTo(0x1C, true);
    c.host.Send(0x1C, 3);
    c.host.Send(0x1C, 4);
    EXPECT_TRUE(c.host.Exchange(0x1B, 5, Le(20, 4)).complete);
    c.unit.SetDropResponsesTo(0x1C, false);
    EXPECT_EQ(c.host.Exchange(0x1C, 6).payload, Le(20, 4));
    EXPECT_EQ(CutBlobs(c.host.Received()).size(), 3u);
    EXPECT_EQ(c.unit.CommandCount(0x1C), 4u); // still received and acted on
}

TEST(SimUnitFaults, DelaysAResponseAndWhatFollowsIt) {
    Connected c;
    c.unit.DelayNextResponse(150);
    const auto sent = std::chrono::steady_clock::now();
    c.host.Send(0x1C, 1);
    c.host.Send(0x1C, 2);
    ASSERT_TRUE(c.host.Await(0x1C, 1).complete);
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(150));
    ASSERT_TRUE(c.host.Await(0x1C, 2).complete);
    const std::vector<Bytes> blobs = CutBlobs(c.host.Received());
    ASSERT_EQ(blobs.size(), 2u);
    EXPECT_EQ(blobs[0][5], 1); // order kept
}

TEST(SimUnitFaults, AnswersTheNextCommandWithAnErrorAndSkipsIt) {
    Connected c;
    c.unit.ErrorOnNextCommand();
    const Response r = c.host.Exchange(0x1B, 1, Le(99, 4));
    EXPECT_TRUE(r.error);
    EXPECT_EQ(r.payload, Bytes{static_cast<uint8_t>(sim::SimError::Injected)});
    EXPECT_EQ(c.unit.PeriodTicks(), SimUnit::kDefaultPeriodTicks);
    EXPECT_FALSE(c.host.Exchange(0x1B, 2, Le(99, 4)).error);
    EXPECT_EQ(c.unit.PeriodTicks(), 99u);
}

TEST(SimUnitFaults, DataSheetFaultsReachTheWire) {
    Connected c;
    c.unit.SetDataSheet(5, sim::SimDataSheet::WithFault(sim::SimDataSheet::Default(5), sim::SheetFault::Blank));
    EXPECT_EQ(c.host.Exchange(0x27, 1, ReadParams(5, 0, 128)).payload, Bytes(128, 0));
    c.unit.SetDataSheet(0, sim::SimDataSheet::Default(1)); // no such block: ignored
    EXPECT_TRUE(c.host.Exchange(0x27, 2, ReadParams(0, 0, 128)).error);
}

TEST(SimUnitTransport, ChunkSizesOneAnd65536GiveTheSameStream) {
    auto run = [](size_t chunk) {
        SimUnit unit;
        TestHost host(unit);
        EXPECT_EQ(unit.SetChunkSize(chunk), chunk);
        unit.Connect();
        host.Exchange(0x1A, 0xFF, kInitParams);
        host.Exchange(0x27, 0xFE, ReadParams(0xFF, 1000, 2000));
        unit.QueueMeasurements(10);
        host.Exchange(0x1C, 0xFD);
        EXPECT_LE(*host.ChunkSizes().rbegin(), chunk);
        return host.Received();
    };
    const Bytes one = run(1);
    EXPECT_GT(one.size(), 2000u);
    EXPECT_EQ(one, run(65536));
    SimUnit unit;
    EXPECT_EQ(unit.SetChunkSize(0), 1u);
    EXPECT_EQ(unit.SetChunkSize(100000), 65536u);
}

TEST(SimUnitTransport, LinkRateSpreadsTheDeliveryOverTime) {
    SimUnit unit;
    TestHost host(unit);
    EXPECT_EQ(unit.LinkRate(), 0u); // memory speed
    unit.SetLinkRate(100000);
    EXPECT_EQ(unit.LinkRate(), 100000u);
    unit.SetChunkSize(1000);
    unit.Connect();
    const auto start = std::chrono::steady_clock::now();
    const Response r = host.Exchange(0x27, 1, ReadParams(0xFF, 0, 24576), std::chrono::seconds(30));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(r.complete);
    EXPECT_EQ(r.payload, unit.Memory());
    // 24576 bytes in 99 blobs of 6 header bytes each: 25170 bytes, 252 ms at
    // 100 000 bytes/s, less the 2 ms a late wake may catch up on.
    EXPECT_EQ(host.Received().size(), 25170u);
    EXPECT_GE(elapsed, std::chrono::milliseconds(245));
    EXPECT_LE(*host.ChunkSizes().rbegin(), 1000u);
}

TEST(SimUnitTransport, DisconnectDropsPendingBytesAndReconnectReframes) {
    Connected c;
    c.unit.DelayNextResponse(60000);
    c.host.Send(0x1C, 1);
    const Bytes half = Command(0x1C, 2);
    c.host.Send(Bytes(half.begin(), half.begin() + 3));
    c.unit.Disconnect();
    c.unit.Disconnect();
    EXPECT_FALSE(c.unit.IsConnected());
    EXPECT_FALSE(c.unit.Receive(half.data(), half.size()));
    ASSERT_TRUE(c.unit.Connect());
    EXPECT_EQ(c.host.Exchange(0x1C, 3).payload, Le(10, 4)); // the half blob was forgotten
    EXPECT_EQ(CutBlobs(c.host.Received()).size(), 1u);
}

TEST(SimUnitConcurrency, DeliversOnItsOwnThread) {
    Connected c;
    c.host.Exchange(0x1C, 1);
    const std::set<std::thread::id> threads = c.host.Threads();
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_NE(*threads.begin(), std::this_thread::get_id());
}

TEST(SimUnitConcurrency, UnitClosesTheLinkAndReportsItOnItsThread) {
    Connected c;
    std::mutex m;
    std::condition_variable cv;
    std::thread::id reporter;
    bool closed = false;
    c.unit.SetLinkClosed([&] {
        c.unit.Disconnect(); // what a stack does on hearing of it; must not deadlock
        std::lock_guard<std::mutex> lock(m);
        reporter = std::this_thread::get_id();
        closed = true;
        cv.notify_all();
    });
    c.host.Exchange(0x1C, 1);
    const size_t before = c.host.Received().size();
    c.unit.CloseLinkAfterBytes(3);
    c.host.Send(0x1C, 2);
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, kPatience, [&] { return closed; }));
        EXPECT_NE(reporter, std::this_thread::get_id());
    }
    EXPECT_EQ(c.host.Received().size(), before + 3);
    EXPECT_TRUE(c.unit.LinkClosedByUnit());
    EXPECT_FALSE(c.unit.Receive(Command(0x1C, 3).data(), 5));
    c.unit.Disconnect();
    ASSERT_TRUE(c.unit.Connect());
    EXPECT_FALSE(c.unit.LinkClosedByUnit());
    c.host.Send(0x1C, 4); // framed afresh after the cut-off blob
    EXPECT_TRUE(c.host.WaitFor([&](const Bytes &b) { return Collect(CutBlobs(b, before + 3), 0x1C, 4).complete; }));
}

TEST(SimUnitConcurrency, DroppedLinkComesBackOnlyAfterItsDownTime) {
    using namespace std::chrono;
    constexpr milliseconds kAfter{100}, kDown{1500};
    Connected c;
    std::atomic<bool> reported{false};
    c.unit.SetLinkClosed([&] { reported = true; });
    c.host.Exchange(0x1A, 1, kInitParams);
    c.host.Send(SimUnit::kCmdStart, 2);
    const auto armed = steady_clock::now();
    c.unit.DropLinkAfter(kAfter, kDown);
    for (const auto deadline = armed + kPatience; !reported && steady_clock::now() < deadline;)
        std::this_thread::sleep_for(milliseconds(1));
    ASSERT_TRUE(reported);
    const auto dropped = steady_clock::now();
    EXPECT_GE(dropped - armed, kAfter);
    EXPECT_FALSE(c.unit.InReach());
    EXPECT_FALSE(c.unit.Receive(Command(0x1C, 3).data(), 5)); // writes fail
    EXPECT_FALSE(c.unit.Connect());                           // out of reach
    EXPECT_FALSE(c.unit.IsStreaming());
    EXPECT_FALSE(c.unit.DropPending());

    while (!c.unit.InReach())
        std::this_thread::sleep_for(milliseconds(10));
    EXPECT_GE(steady_clock::now() - dropped, kDown - milliseconds(5));
    ASSERT_TRUE(c.unit.Connect());
    const size_t before = c.host.Received().size();
    c.host.Send(0x1C, 4);
    EXPECT_TRUE(c.host.WaitFor([&](const Bytes &b) { return Collect(CutBlobs(b, before), 0x1C, 4).complete; }));
    // Once: the new link stays.
    std::this_thread::sleep_for(kAfter + kQuiet);
    EXPECT_TRUE(c.unit.IsConnected());
}

TEST(SimUnitConcurrency, HostThreadsSendWhileStreaming) {
    Connected c;
    c.unit.SetChunkSize(7);
    c.host.Exchange(0x1B, 0, Le(1, 4));
    c.host.Send(0x18, 1);
    std::vector<std::thread> senders;
    for (uint8_t t = 0; t < 4; ++t)
        senders.emplace_back([&c, t] {
            for (uint8_t i = 0; i < 10; ++i) {
                c.host.Send(0x1C, static_cast<uint8_t>(0x10 + t * 10 + i));
                c.unit.SetStreamMask(static_cast<uint8_t>(0x06 | (i << 3)));
            }
        });
    for (std::thread &t : senders)
        t.join();
    for (uint8_t counter = 0x10; counter < 0x10 + 40; ++counter)
        ASSERT_TRUE(c.host.Await(0x1C, counter).complete) << int(counter);
    c.host.Exchange(0x19, 2);
    for (const Bytes &b : CutBlobs(c.host.Received()))
        EXPECT_EQ(b[3], Checksum(b));
    EXPECT_EQ(c.unit.CommandCount(0x1C), 40u);
}

TEST(SimUnitConcurrency, DisconnectRacesWithDeliveryAndItself) {
    for (int round = 0; round < 5; ++round) {
        SimUnit unit;
        std::atomic<int> calls{0};
        unit.SetDeliver([&](const uint8_t *, size_t) {
            if (++calls == 3)
                unit.Disconnect(); // from inside a delivery
        });
        unit.SetChunkSize(1);
        ASSERT_TRUE(unit.Connect());
        unit.QueueMeasurements(50);
        std::thread a([&] { unit.Disconnect(); });
        std::thread b([&] { unit.Disconnect(); });
        a.join();
        b.join();
        EXPECT_FALSE(unit.IsConnected());
        const int seen = calls.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(calls.load(), seen); // nothing after Disconnect returned
        ASSERT_TRUE(unit.Connect());
    } // the destructor disconnects a connected unit
}
