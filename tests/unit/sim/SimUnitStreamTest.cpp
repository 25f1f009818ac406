#include "SimTestHost.h"

#include <gtest/gtest.h>

using namespace simtest;
using sim::SimUnit;

namespace {

int CountBits(uint8_t mask) {
    int n = 0;
    for (int bit = 0; bit < 8; ++bit)
        n += (mask >> bit) & 1;
    return n;
}

// Checks every measurement blob against the layout and the signal; returns the
// number of samples per channel seen. Indices must follow on from `first`.
uint64_t CheckMeasurements(const std::vector<Bytes> &blobs, uint8_t mask, uint64_t first = 0) {
    uint64_t index = first;
    const int n = CountBits(mask);
    for (const Bytes &b : blobs) {
        if (b[0] != 0x20)
            continue;
        EXPECT_EQ(b[3], Checksum(b));
        EXPECT_EQ(b[6], mask);
        const size_t s = b[7];
        EXPECT_EQ(b.size(), 8 + 2 * s * static_cast<size_t>(n));
        EXPECT_EQ(b[4] | (b[5] << 8), static_cast<int>(index & 0xFFFF));
        for (size_t i = 0; i < s; ++i) {
            int k = 0;
            for (int channel = 0; channel < 8; ++channel) {
                if (!(mask >> channel & 1))
                    continue;
                const size_t at = 8 + 2 * (i * static_cast<size_t>(n) + static_cast<size_t>(k++));
                EXPECT_EQ(b[at] | (b[at + 1] << 8), SimUnit::SampleValue(channel, index + i))
                    << "channel " << channel << " index " << index + i;
            }
        }
        index += s;
    }
    return index - first;
}

} // namespace

TEST(SimUnitStream, SignalFollowsTheDocumentedFormula) {
    // Channels 1 and 2: force (t - 250) / 5 N through v = (F + 10) / 4 and (F + 100) / 40.
    EXPECT_EQ(SimUnit::SampleValue(1, 0), 0);      // -50 N: below channel 1's range
    EXPECT_EQ(SimUnit::SampleValue(2, 0), 1024);   // 1.25 V
    EXPECT_EQ(SimUnit::SampleValue(1, 250), 2048); // 0 N: 2.5 V on both
    EXPECT_EQ(SimUnit::SampleValue(2, 250), 2048);
    EXPECT_EQ(SimUnit::SampleValue(1, 500), 4095);  // +50 N: clamped
    EXPECT_EQ(SimUnit::SampleValue(2, 500), 3072);  // 3.75 V
    EXPECT_EQ(SimUnit::SampleValue(1, 750), 2048);  // back down the triangle
    EXPECT_EQ(SimUnit::SampleValue(1, 1250), 2048); // period 1000
    EXPECT_EQ(SimUnit::SampleValue(3, 0), 1536);    // sawtooth 512 c + (c + 1) i
    EXPECT_EQ(SimUnit::SampleValue(3, 1), 1540);
    EXPECT_EQ(SimUnit::SampleValue(0, 4096), 0);
    EXPECT_EQ(SimUnit::SampleValue(8, 5), 0);
    for (uint64_t i = 0; i < 3000; ++i)
        for (int channel = 0; channel < 8; ++channel)
            ASSERT_LE(SimUnit::SampleValue(channel, i), 4095);
}

TEST(SimUnitStream, InterleavesChannelsInAscendingOrderBySample) {
    SimUnit unit;
    TestHost host(unit);
    unit.SetStreamMask(0x05);
    unit.SetSamplesPerBlob(3);
    unit.Connect();
    unit.QueueMeasurements(2);
    ASSERT_TRUE(host.WaitForBytes(2 * 20));
    const std::vector<Bytes> blobs = CutBlobs(host.Received());
    ASSERT_EQ(blobs.size(), 2u);
    const Bytes &b = blobs[0];
    ASSERT_EQ(b.size(), 20u);
    const uint16_t expected[] = {SimUnit::SampleValue(0, 0), SimUnit::SampleValue(2, 0), SimUnit::SampleValue(0, 1),
                                 SimUnit::SampleValue(2, 1), SimUnit::SampleValue(0, 2), SimUnit::SampleValue(2, 2)};
    for (size_t k = 0; k < 6; ++k)
        EXPECT_EQ(b[8 + 2 * k] | (b[9 + 2 * k] << 8), expected[k]) << k;
    EXPECT_EQ(CheckMeasurements(blobs, 0x05), 6u);
}

TEST(SimUnitStream, BurstSizeIsLimitedByWhatABlobHolds) {
    SimUnit unit;
    TestHost host(unit);
    unit.SetStreamMask(0xFF);
    unit.SetSamplesPerBlob(40);
    unit.Connect();
    unit.QueueMeasurements(1);
    ASSERT_TRUE(host.WaitForBytes(8 + 2 * 15 * 8));
    std::vector<Bytes> blobs = CutBlobs(host.Received());
    ASSERT_EQ(blobs.size(), 1u);
    EXPECT_EQ(blobs[0][7], 15); // 123 / 8
    EXPECT_EQ(CheckMeasurements(blobs, 0xFF), 15u);

    unit.SetStreamMask(0x00);
    unit.QueueMeasurements(1);
    ASSERT_TRUE(host.WaitFor([](const Bytes &b) { return CutBlobs(b).size() == 2; }));
    EXPECT_EQ(CutBlobs(host.Received())[1].size(), 8u);
}

TEST(SimUnitStream, StreamsAtShortPeriodUntilStopped) {
    SimUnit unit;
    TestHost host(unit);
    unit.Connect();
    EXPECT_TRUE(host.Exchange(0x1B, 1, Le(2, 4)).complete);
    host.Send(0x18, 2);
    ASSERT_TRUE(host.WaitFor([](const Bytes &b) { return CutBlobs(b).size() >= 12; }));
    EXPECT_TRUE(unit.IsStreaming());
    const Response stop = host.Exchange(0x19, 3);
    ASSERT_TRUE(stop.complete);
    EXPECT_FALSE(unit.IsStreaming());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));

    const std::vector<Bytes> blobs = CutBlobs(host.Received());
    ASSERT_EQ(blobs[1][0], 0x98); // start's response comes before any sample
    EXPECT_EQ(blobs[1][5], 2);
    EXPECT_EQ(blobs.back()[4], 0x19); // nothing after the stop's response
    EXPECT_GE(CheckMeasurements(blobs, 0x7E), 10u);
}

TEST(SimUnitStream, InitStopsStreamingAndStartCountsFromZero) {
    SimUnit unit;
    TestHost host(unit);
    unit.Connect();
    host.Exchange(0x1B, 1, Le(1, 4));
    host.Send(0x18, 2);
    ASSERT_TRUE(host.WaitFor([](const Bytes &b) { return CutBlobs(b).size() >= 4; }));
    ASSERT_TRUE(host.Exchange(0x1A, 3, kInitParams).complete);
    EXPECT_FALSE(unit.IsStreaming());
    const size_t atInit = CutBlobs(host.Received()).size();
    host.Send(0x18, 4);
    ASSERT_TRUE(host.WaitFor([&](const Bytes &b) { return CutBlobs(b).size() >= atInit + 4; }));
    host.Exchange(0x19, 5);
    const std::vector<Bytes> blobs = CutBlobs(host.Received());
    EXPECT_GE(CheckMeasurements(std::vector<Bytes>(blobs.begin() + static_cast<long>(atInit), blobs.end()), 0x7E), 2u);
}

TEST(SimUnitStream, LargeBacklogArrivesIntact) {
    SimUnit unit;
    TestHost host(unit);
    unit.SetStreamMask(0xFF);
    unit.SetSamplesPerBlob(15);
    unit.SetChunkSize(3000);
    unit.Connect();
    unit.QueueMeasurements(1000); // 248 000 bytes, beyond the point where the queue compacts
    ASSERT_TRUE(host.WaitForBytes(248000));
    const std::vector<Bytes> blobs = CutBlobs(host.Received());
    EXPECT_EQ(blobs.size(), 1000u);
    EXPECT_EQ(CheckMeasurements(blobs, 0xFF), 15000u);
}
