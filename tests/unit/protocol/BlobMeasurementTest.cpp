// The channel rings seen from the host, and the measurement period.
#include "ProtocolTestSupport.h"

#include <cmath>

namespace {

using namespace protocol_test;

class BlobMeasurements : public ::testing::Test {
  protected:
    void SetUp() override {
        source.AttachWithoutDevice(2);
        source.Synchronise();
    }
    // count values of channel 0 from `first` on, at most 100 per blob.
    void FeedChannel0(int32_t first, int32_t count) {
        while (count > 0) {
            const int32_t n = std::min(count, 100);
            std::vector<int16_t> samples;
            for (int32_t i = 0; i < n; ++i)
                samples.push_back(static_cast<int16_t>((first + i) % 30000));
            source.Feed(Measurement(0x01, static_cast<uint8_t>(n), samples));
            first += n;
            count -= n;
        }
    }
    TestBlobSource source;
};

TEST_F(BlobMeasurements, FullRingDropsTheOldestValue) {
    FeedChannel0(0, 40001);
    EXPECT_EQ(40000, source.GetNumMeasurementsAvailable(0));
    int32_t values[40001];
    int32_t count = -1;
    ASSERT_EQ(0, source.ReadRawMeasurements(0, values, 0, 40001, &count));
    ASSERT_EQ(40000, count);
    EXPECT_EQ(1, values[0]);
    EXPECT_EQ(40000 % 30000, values[39999]);
}

TEST_F(BlobMeasurements, ReadsTakeTheOldestFirstWithinLimits) {
    FeedChannel0(0, 250);
    int32_t values[300];
    int32_t count = -1;
    EXPECT_EQ(-1, source.ReadRawMeasurements(2, values, 0, 10, &count));
    EXPECT_EQ(-1, source.ReadRawMeasurements(-1, values, 0, 10, &count));
    EXPECT_EQ(0, source.ReadRawMeasurements(0, values, 0, 0, &count));
    EXPECT_EQ(0, count);
    EXPECT_EQ(0, source.ReadRawMeasurements(0, values, 0, -5, &count));
    EXPECT_EQ(0, count);
    ASSERT_EQ(0, source.ReadRawMeasurements(0, values, 0, 10, &count));
    ASSERT_EQ(10, count);
    EXPECT_EQ(9, values[9]);
    std::vector<int32_t> list = {99};
    source.ReadMeasurementsToList(list, 0, 215);
    ASSERT_EQ(215u, list.size());
    EXPECT_EQ(10, list.front());
    EXPECT_EQ(224, list.back());
    ASSERT_EQ(0, source.ReadRawMeasurements(0, values, 0, 300, &count));
    EXPECT_EQ(25, count);
    EXPECT_EQ(0, source.GetNumMeasurementsAvailable(0));
    EXPECT_EQ(0, source.GetNumMeasurementsAvailable(5));
}

TEST_F(BlobMeasurements, LatestValueAndClearing) {
    source.Feed(Measurement(0x03, 2, {1, 10, 2, 20}));
    source.Feed(Measurement(0x01, 1, {3}));
    EXPECT_EQ(3, source.GetLatestRawMeasurement(0));
    EXPECT_EQ(0, source.GetNumMeasurementsAvailable(0)); // reading the latest discards the buffer
    EXPECT_EQ(2, source.GetNumMeasurementsAvailable(1));
    EXPECT_EQ(0, source.GetLatestRawMeasurement(2));
    EXPECT_EQ(-1, source.ClearMeasurements(-2));
    EXPECT_EQ(-1, source.ClearMeasurements(2));
    EXPECT_EQ(0, source.ClearMeasurements(1));
    EXPECT_EQ(0, source.GetNumMeasurementsAvailable(1));
    FeedChannel0(0, 5);
    source.Feed(Measurement(0x02, 1, {7}));
    EXPECT_EQ(0, source.ClearMeasurements(-1));
    EXPECT_EQ(0, source.GetNumMeasurementsAvailable(0) + source.GetNumMeasurementsAvailable(1));
    EXPECT_EQ(0, source.ClearIO());
    EXPECT_TRUE(source.m_synchronised); // ClearIO keeps the framing
    TestBlobSource unattached;
    EXPECT_EQ(0, unattached.ClearMeasurements(-1));
    EXPECT_EQ(-1, unattached.ClearResponses());
}

TEST(BlobMeasurementPeriod, QuantisedToTicksWithinLimits) {
    TestBlobSource source;
    EXPECT_NEAR(0.012, source.QuantiseMeasurementPeriod(0.0123, 1), 1e-12);
    EXPECT_NEAR(0.013, source.QuantiseMeasurementPeriod(0.0127, 1), 1e-12);
    EXPECT_DOUBLE_EQ(0.001, source.QuantiseMeasurementPeriod(0.0004, 1));
    EXPECT_DOUBLE_EQ(65.535, source.QuantiseMeasurementPeriod(100.0, 1));
    EXPECT_DOUBLE_EQ(0.001, source.QuantiseMeasurementPeriod(std::nan(""), 1));
    EXPECT_DOUBLE_EQ(65.535, source.QuantiseMeasurementPeriod(HUGE_VAL, 1));
}

TEST(BlobMeasurementPeriod, ShortAnswerIsNoAnswer) {
    TestBlobSource source;
    source.cannedPayload = std::make_unique<Bytes>(Bytes{0x10, 0x27});
    EXPECT_DOUBLE_EQ(1000000.0, source.GetMeasurementPeriod(1, 10));
    source.cannedPayload = std::make_unique<Bytes>(Bytes{0x10, 0x27, 0, 0});
    EXPECT_NEAR(10.0, source.GetMeasurementPeriod(1, 10), 1e-9);
}

class BlobMeasurementPeriodOnUnit : public SimulatedUnitTest {};

TEST_F(BlobMeasurementPeriodOnUnit, TicksSentAndReadBack) {
    const struct {
        double seconds;
        uint32_t ticks;
    } cases[] = {{0.0123, 12}, {0.0004, 1}, {100.0, 65535}, {0.0127, 13}};
    for (const auto &c : cases) {
        ASSERT_EQ(0, source->SetMeasurementPeriod(c.seconds, 1, kPatienceMs)) << c.seconds;
        EXPECT_EQ(c.ticks, unit->PeriodTicks()) << c.seconds;
        EXPECT_NEAR(c.ticks * 0.001, source->GetMeasurementPeriod(1, kPatienceMs), 1e-9);
    }
    unit->DropNextResponse();
    EXPECT_DOUBLE_EQ(1000000.0, source->GetMeasurementPeriod(1, kQuietMs));
}

} // namespace
