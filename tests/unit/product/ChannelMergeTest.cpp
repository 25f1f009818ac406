// The combined channel 7: the zero crossing and slope taken from channel 1's
// sheet, the choice of page and range per sample pair, the limits, the
// 32-bit steps, and the filing of measurement blobs with their merged values.
#include "ProductTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

using namespace product_test;

namespace {

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// Channel values with exact voltages: 2.5 V per 32768.
constexpr int32_t kVolts1_25 = 16384;
constexpr int32_t kVolts1_875 = 24576;
constexpr int32_t kVolts2_5 = 32768;
constexpr int32_t kVolts3_125 = 40960;
constexpr int32_t kVolts5 = 65536;
// One above the highest channel value 0xFFFF x 16: a crossing beyond every reading.
constexpr int32_t kBeyondEveryValue = 1048561;

using MergeTest = ProductUnitTest;

// K0 0, K1 4 on both pages of both channels.
TEST_F(MergeTest, WorkedExampleWithAZeroCrossingAtZeroVolts) {
    OpenWithRanges({0, 4}, {0, 4}, {0, 4}, {0, 4});
    EXPECT_EQ(0, source->RangeThreshold);
    EXPECT_TRUE(source->PositiveSlope);
    EXPECT_EQ(100000000, source->Merge(kVolts1_25, 0));            // c1 = 5.0
    EXPECT_EQ(250000000, source->Merge(kVolts3_125, kVolts3_125)); // c1 12.5 beyond: c2 = 12.5
    EXPECT_EQ(200000000, source->Merge(kVolts3_125, kVolts1_875)); // c2 = 7.5 is short of the limit
    EXPECT_DOUBLE_EQ(2.5, source->ConvertToVoltage(0, 7, 2, 1));
    EXPECT_DOUBLE_EQ(2.75, source->ConvertToVoltage(200000000, 7, 2, 1)); // 2.5 + g / 40
    EXPECT_DOUBLE_EQ(2.5, source->ConvertToVoltage(32768, 3, 2, 1));
}

// Crossing at 2.5 V on page 0; page 1 has other coefficients, so that each
// result tells which page served it.
class TwoPageMergeTest : public MergeTest {
  protected:
    void SetUp() override {
        MergeTest::SetUp();
        OpenWithRanges({-10, 4}, {-20, 8}, {-100, 40}, {-200, 80});
        ASSERT_EQ(kVolts2_5, source->RangeThreshold);
        ASSERT_TRUE(source->PositiveSlope);
    }
};

TEST_F(TwoPageMergeTest, PositiveSideUsesPage0AndTheUpperLimit) {
    EXPECT_EQ(50000000, source->Merge(kVolts3_125, 0)); // c1 = 2.5
    EXPECT_EQ(0, source->Merge(kVolts2_5, 0));          // at the threshold: page 0, c1 = 0
    // Channel 1 just inside the limit serves, whatever channel 2 says.
    EXPECT_EQ(Steps(-10.0 + 4 * 4.998779296875), source->Merge(65520, kVolts5));
    // Channel 1 at the limit: channel 2 when it is beyond it, else the limit.
    EXPECT_EQ(2000000000, source->Merge(kVolts5, kVolts5)); // c2 = 100
    EXPECT_EQ(250000000, source->Merge(kVolts5, 36864));    // c2 = 12.5
    EXPECT_EQ(200000000, source->Merge(kVolts5, 34816));    // c2 = 6.25: the limit
    EXPECT_EQ(200000000, source->Merge(kVolts5, 36044));    // c2 just below 10: the limit
}

TEST_F(TwoPageMergeTest, NegativeSideUsesPage1AndTheLowerLimit) {
    EXPECT_EQ(-100000000, source->Merge(kVolts1_875, 0));          // page 1: -20 + 8 * 1.875 = -5
    EXPECT_EQ(-12207, source->Merge(kVolts2_5 - 1, 0));            // just below the threshold: page 1
    EXPECT_EQ(-2000000000, source->Merge(kVolts1_25, kVolts1_25)); // c1 = -10: c2 = -100
    EXPECT_EQ(-250000000, source->Merge(kVolts1_25, 30720));       // c2 = -12.5
    EXPECT_EQ(-200000000, source->Merge(kVolts1_25, 31744));       // c2 = -6.25: the limit
    EXPECT_EQ(-200000000, source->Merge(0, kVolts2_5));            // c2 = 0: the limit
}

TEST_F(MergeTest, NegativeSlopeSwapsThePages) {
    OpenWithRanges({10, -4}, {20, -8}, {0, 4}, {0, 4});
    EXPECT_EQ(kVolts2_5, source->RangeThreshold);
    EXPECT_FALSE(source->PositiveSlope);
    EXPECT_EQ(50000000, source->Merge(kVolts1_875, 0));   // below the crossing: page 0, 10 - 7.5
    EXPECT_EQ(-100000000, source->Merge(kVolts3_125, 0)); // above: page 1, 20 - 25
}

TEST_F(MergeTest, StepsBeyond32BitsSaturate) {
    OpenWithRanges({-10, 4}, {-10, 4}, {0, 100}, {-500, 1});
    EXPECT_EQ(kMax, source->Merge(kVolts5, 65520));      // c2 = 499.9
    EXPECT_EQ(kMin, source->Merge(0, 0));                // c2 = -500
    EXPECT_EQ(1250000000, source->Merge(kVolts5, 8192)); // c2 = 62.5 still fits
}

TEST_F(MergeTest, InfiniteAndNaNCoefficientsGiveDefinedValues) {
    // Page 0 of channel 1 has no usable crossing: threshold 0, slope not
    // positive, so every reading takes page 1.
    OpenWithRanges({kNaN, kNaN}, {kInf, 1}, {0, 4}, {kNaN, 1});
    EXPECT_EQ(0, source->RangeThreshold);
    EXPECT_FALSE(source->PositiveSlope);
    EXPECT_EQ(kMax, source->Merge(kVolts2_5, 0)); // c1 = +inf
}

TEST_F(MergeTest, NaNOnBothRangesFallsBackToTheLimit) {
    OpenWithRanges({-10, 4}, {-kInf, 1}, {kNaN, 4}, {kNaN, 1});
    EXPECT_EQ(200000000, source->Merge(kVolts5, kVolts5)); // c1 10, c2 NaN
    EXPECT_EQ(-200000000, source->Merge(0, 0));            // c1 -inf, c2 NaN
}

// ---------------------------------------------------------------------------
// Where channel 1's crossing lies

struct CrossingCase {
    const char *name;
    Line page0;
    int32_t threshold;
    bool positiveSlope;
};

class CrossingTest : public ProductUnitTest, public ::testing::WithParamInterface<CrossingCase> {};

TEST_P(CrossingTest, ThresholdAndSlope) {
    const CrossingCase &c = GetParam();
    OpenWithRanges(c.page0, {0, 1}, {0, 1}, {0, 1});
    EXPECT_EQ(c.threshold, source->RangeThreshold);
    EXPECT_EQ(c.positiveSlope, source->PositiveSlope);
}

INSTANTIATE_TEST_SUITE_P(
    Calibrations, CrossingTest,
    ::testing::Values(
        CrossingCase{"Default", {-10, 4}, 32768, true}, CrossingCase{"AtZeroVolts", {0, 4}, 0, true},
        CrossingCase{"Falling", {5, -4}, 16384, false},
        // Outside the range of values (0 to 0xFFFF x 16): clamped, never
        // wrapped; inside it exact, above 5 V too.
        CrossingCase{"BelowZeroVolts", {1, 4}, 0, true}, CrossingCase{"JustBelowZeroVolts", {0.0004f, 4}, 0, true},
        CrossingCase{"AtFiveVolts", {-20, 4}, 65536, true}, CrossingCase{"AboveFiveVolts", {-30, 4}, 98304, true},
        CrossingCase{"AboveEveryValue", {-90, 1}, kBeyondEveryValue, true},
        CrossingCase{"InfiniteK0", {kInf, 4}, 0, true},
        CrossingCase{"MinusInfiniteK0", {-kInf, 4}, kBeyondEveryValue, true},
        CrossingCase{"InfiniteK1", {3, kInf}, 0, true}, CrossingCase{"BothInfinite", {kInf, kInf}, 0, true},
        // Flat: no crossing; the side follows the sign of K0.
        CrossingCase{"FlatNegative", {-3, 0}, 0, false}, CrossingCase{"FlatPositive", {3, 0}, kBeyondEveryValue, false},
        CrossingCase{"FlatZero", {0, 0}, kBeyondEveryValue, false},
        CrossingCase{"FlatNegativeZeroK1", {-3, -0.0f}, 0, false}),
    [](const ::testing::TestParamInfo<CrossingCase> &info) { return std::string(info.param.name); });

TEST_F(MergeTest, FlatPage0SendsEveryReadingToTheSideOfItsSign) {
    // Page 0 reads -3 everywhere: every reading is on the negative side.
    OpenWithRanges({-3, 0}, {-20, 8}, {0, 1}, {0, 1});
    EXPECT_EQ(-100000000, source->Merge(kVolts1_875, 0)); // page 1
    EXPECT_EQ(0, source->Merge(kVolts2_5, 0));            // page 1
    EXPECT_EQ(Steps(-20 + 8 * 4.998779296875), source->Merge(65520, 0));
}

TEST_F(MergeTest, FlatPositivePage0ServesEveryReading) {
    OpenWithRanges({3, 0}, {-20, 8}, {0, 1}, {0, 1});
    EXPECT_EQ(60000000, source->Merge(0, 0));       // page 0: 3
    EXPECT_EQ(60000000, source->Merge(65520, 0));   // the highest 12-bit word 0x0FFF, x16
    EXPECT_EQ(60000000, source->Merge(65536, 0));   // word 0x1000
    EXPECT_EQ(60000000, source->Merge(1048560, 0)); // word 0xFFFF
}

// Page 1 gives other values than page 0, so that each result tells which
// page served it: page 0 -30 + 4 v (crossing at 7.5 V), page 1 -20 + 8 v.
TEST_F(MergeTest, WordsAbove0FFFTakeTheSideOfACrossingAboveFiveVolts) {
    OpenWithRanges({-30, 4}, {-20, 8}, {0, 1}, {0, 1});
    EXPECT_EQ(Steps(-20 + 8 * 5.3125), source->Merge(0x1100 << 4, 0));                // 5.3125 V, below: page 1
    EXPECT_EQ(Steps(-20 + 8 * (98303 * 7.62939453125e-05)), source->Merge(98303, 0)); // just below: page 1
    EXPECT_EQ(0, source->Merge(98304, 0));                                            // at the crossing, 7.5 V: page 0
    EXPECT_EQ(Steps(-30 + 4 * 7.8125), source->Merge(0x1900 << 4, 0));                // above: page 0
    // The merge limit still applies on page 0: -30 + 4 x 80 V is far beyond it.
    EXPECT_EQ(200000000, source->Merge(1048560, 0));
}

// ---------------------------------------------------------------------------
// Filing measurement blobs

class MergedBlobTest : public MergeTest {
  protected:
    void SetUp() override {
        MergeTest::SetUp();
        OpenWithRanges({0, 4}, {0, 4}, {0, 4}, {0, 4});
    }
};

TEST_F(MergedBlobTest, ChannelsOneAndTwoFileTheirSamplesAndOneMergedValueEach) {
    // Samples interleaved: (ch1, ch2) per sample.
    source->Feed(
        MeasurementBlob(0x06, 5, {0x0400, 0x0000, 0x0A00, 0x0A00, 0x0A00, 0x0600, 0x0000, 0x0000, 0x0FFF, 0x0FFF}));
    EXPECT_EQ(5, source->GetNumMeasurementsAvailable(1));
    EXPECT_EQ(5, source->GetNumMeasurementsAvailable(2));
    ASSERT_EQ(5, source->GetNumMeasurementsAvailable(7));
    EXPECT_EQ((std::vector<int32_t>{16384, 40960, 40960, 0, 65520}), source->ReadAll(1));
    EXPECT_EQ((std::vector<int32_t>{0, 40960, 24576, 0, 65520}), source->ReadAll(2));
    const int32_t fifth = Steps(4 * 4.998779296875); // both beyond 10: channel 2
    EXPECT_EQ((std::vector<int32_t>{100000000, 250000000, 200000000, 0, fifth}), source->ReadAll(7));

    source->Feed(MeasurementBlob(0x06, 2, {0x0400, 0, 0x0A00, 0x0A00}));
    EXPECT_EQ(250000000, source->GetLatestRawMeasurement(7));
    EXPECT_EQ(0, source->GetNumMeasurementsAvailable(7));
    EXPECT_EQ(2, source->GetNumMeasurementsAvailable(1)); // only channel 7 was cleared
}

TEST_F(MergedBlobTest, OneRangeAloneProducesNoMergedValue) {
    source->Feed(MeasurementBlob(0x02, 3, {1, 2, 3}));
    source->Feed(MeasurementBlob(0x04, 3, {1, 2, 3}));
    source->Feed(MeasurementBlob(0x0A, 1, {1, 2}));
    EXPECT_EQ(4, source->GetNumMeasurementsAvailable(1));
    EXPECT_EQ(3, source->GetNumMeasurementsAvailable(2));
    EXPECT_EQ(0, source->GetNumMeasurementsAvailable(7));
}

TEST_F(MergedBlobTest, SampleWordsAreFiledUnsignedTimesSixteen) {
    source->Feed(MeasurementBlob(0x09, 4, {0x0FFF, 0x0001, 0xFFFF, 0x8000, 0x8000, 0xFFFF, 0, 0x7FFF}));
    EXPECT_EQ((std::vector<int32_t>{65520, 1048560, 524288, 0}), source->ReadAll(0));
    EXPECT_EQ((std::vector<int32_t>{16, 524288, 1048560, 524272}), source->ReadAll(3));
}

TEST_F(MergedBlobTest, TheUnitsOwnChannel7SamplesComeBeforeTheMergedOnes) {
    source->Feed(MeasurementBlob(0x86, 2, {0x0400, 0, 0x0005, 0x0A00, 0x0A00, 0x0006}));
    EXPECT_EQ((std::vector<int32_t>{80, 96, 100000000, 250000000}), source->ReadAll(7));
}

TEST_F(MergedBlobTest, AFullBlobMergesEverySample) {
    constexpr int kSamples = 61; // 2 channels * 61 * 2 bytes + 8 = 252
    std::vector<uint16_t> words;
    for (int i = 0; i < kSamples; ++i) {
        words.push_back(static_cast<uint16_t>(i * 16));
        words.push_back(0);
    }
    source->Feed(MeasurementBlob(0x06, kSamples, words));
    const std::vector<int32_t> merged = source->ReadAll(7);
    ASSERT_EQ(static_cast<size_t>(kSamples), merged.size());
    EXPECT_EQ(Steps(4 * (60 * 256) * 7.62939453125e-05), merged.back());
}

TEST_F(MergedBlobTest, BlobsNamingAChannelWithoutRingAreDropped) {
    auto narrow = std::make_unique<TestProductSource>();
    narrow->m_numChannels = 7; // no ring for channel 7: merging has nowhere to go
    source.reset();
    ASSERT_EQ(0, narrow->Open(&port));
    ASSERT_TRUE(narrow->RangePrepared);
    narrow->Feed(MeasurementBlob(0x06, 1, {0x0400, 0}));
    EXPECT_EQ(1, narrow->GetNumMeasurementsAvailable(1));
    EXPECT_EQ(0, narrow->GetNumMeasurementsAvailable(7));
    narrow->Feed(MeasurementBlob(0x82, 1, {1, 2}));
    EXPECT_EQ(1, narrow->GetNumMeasurementsAvailable(1));
}

// ---------------------------------------------------------------------------
// Streamed by the unit itself

TEST_F(MergeTest, StreamedForceFollowsTheDefaultSensorsAcrossBothRanges) {
    OpenConnected();
    ASSERT_TRUE(source->RangePrepared);
    unit->SetStreamMask(0x06);
    unit->SetSamplesPerBlob(25);
    constexpr int kBlobs = 20; // 500 samples: the force runs from -50 N to +50 N
    unit->QueueMeasurements(kBlobs);
    ASSERT_TRUE(WaitUntil([&] { return source->GetNumMeasurementsAvailable(2) == 25 * kBlobs; }));

    const std::vector<int32_t> low = source->ReadAll(1);
    const std::vector<int32_t> merged = source->ReadAll(7);
    ASSERT_EQ(static_cast<size_t>(25 * kBlobs), merged.size());
    for (size_t i = 0; i < merged.size(); ++i) {
        ASSERT_EQ(16 * sim::SimUnit::SampleValue(1, i), low[i]) << i;
        const double force = (static_cast<double>(i) - 250.0) / 5.0;
        const double g = merged[i] * 5e-08;
        // Channel 1 tops out at 4.9988 V (9.995 N on page 0), so positive
        // forces beyond it stay there; page 1 reads 0.5 % steeper.
        const double expected = force < 0 ? 1.005 * force : std::min(force, 9.9952);
        EXPECT_NEAR(expected, g, 0.06) << "sample " << i;
    }
}

TEST_F(MergeTest, DestroyingTheSourceWhileTheUnitStreamsIsSafe) {
    OpenConnected();
    unit->SetStreamMask(0x86);
    ASSERT_EQ(0, source->SendCmdAndGetResponse(0x1B, std::vector<uint8_t>{1, 0, 0, 0}.data(), 4, nullptr, nullptr, 5000,
                                               nullptr));
    ASSERT_EQ(0, source->SendCmd(0x18, nullptr, 0, nullptr));
    ASSERT_TRUE(WaitUntil([&] { return unit->BlobsSent() > 20; }));
    source.reset();
    EXPECT_TRUE(WaitUntil([&] { return !unit->IsConnected(); }));
}

} // namespace
