// The library's double arithmetic, bit for bit, on every target. Each
// expected value is what IEEE double arithmetic gives for the formula the
// code must compute, every operation rounded to double (worked out once,
// outside this code). Many inputs are chosen where a computation in the x87
// unit's extended precision rounds otherwise: the last bit of a calibration
// or a channel-7 voltage, or a merged value that lies on a half step.
#include "ProductTestSupport.h"

#include "GMBLSensor.h"

#include <gtest/gtest.h>

#include <cstdint>

using namespace product_test;

namespace {

// ---------------------------------------------------------------- calibration

// One sensor with a different line on each of its three pages.
constexpr float kPageK0[3] = {0x1.f4008p-40f, 0x1.aeeffep-32f, -0x1.b37ffp-34f};
constexpr float kPageK1[3] = {0x1.727c9cp+2f, -0x1.7fa18ep+3f, 0x1.f3a56cp+3f};

struct CalibrationCase {
    uint8_t activePage;
    uint8_t highestValidPage;
    int32_t raw; // volts = raw * 2.5 / 32768, exact
    double expected;
};

const CalibrationCase kCalibrations[] = {
    {0, 2, 568192, 0x1.f5e3a6245003fp+7}, {1, 2, 836320, -0x1.7e78173b64289p+9}, {2, 2, 978048, 0x1.23465646bbe4dp+10},
    {0, 2, 32768, 0x1.cf1bc300003e8p+3},  {1, 2, 32768, -0x1.df89f17fe511p+4},   {2, 2, 32768, 0x1.3847637ffc99p+5},
    {2, 1, 568192, 0x1.f5e3a6245003fp+7}, // a page past the valid ones: page 0
};

TEST(ExactArithmeticTest, CalibrationOnEveryPage) {
    GMBLSensor sensor;
    DDSRecord &record = sensor.Record();
    for (size_t page = 0; page < 3; ++page) {
        record.SetFloat32(CalPageFieldOffset(page, DDSCalPageField::K0), kPageK0[page]);
        record.SetFloat32(CalPageFieldOffset(page, DDSCalPageField::K1), kPageK1[page]);
    }
    for (const CalibrationCase &c : kCalibrations) {
        record.SetU8(DDSOffset::ActiveCalPage, c.activePage);
        record.SetU8(DDSOffset::HighestValidCalPageIndex, c.highestValidPage);
        const double volts = c.raw * GMBLCrashTestDummySource::kVoltsPerCount;
        EXPECT_EQ(sensor.Calibrate(volts), c.expected) << "page " << int(c.activePage) << ", raw " << c.raw;
    }
}

// ---------------------------------------------------------------- channel 7

// Channel 1 crosses zero at 0.3217 V, value 4217; below it page 1 serves.
// Channel 2 takes over beyond +-10 on page 0.
class ExactMergeTest : public ProductUnitTest {
  protected:
    void SetUp() override {
        ProductUnitTest::SetUp();
        OpenWithRanges({-5.1875f, 16.125f}, {-5.25f, 16.0f}, {-100.0f, 40.25f}, {-100.5f, 40.0f});
    }
};

struct VoltageCase {
    int32_t channel;
    int32_t raw;
    double expected;
};

const VoltageCase kVoltages[] = {
    {3, 16, 0x1.4p-10},
    {3, 32768, 2.5},
    {3, 1048560, 0x1.3ffecp+6},
    {7, 0, 2.5},
    {7, 100000000, 0x1.5p+1},
    {7, -749946608, 0x1.90045fb61e09ap+0},
    {7, -654606924, 0x1.ae8699cd1b264p+0},
    {7, 653790289, 0x1.a89b400f8f95p+1},
    {7, 2147483647, 0x1.4bcc77102cc8ep+2},
};

struct MergeCase {
    int32_t channel1;
    int32_t channel2;
    int32_t expected;
};

const MergeCase kMerges[] = {
    {8, 0, -104804687},         // page 1, c1 -5.240234375: exactly half a step
    {4215, 0, -2094727},        // below the crossing: page 1
    {4216, 0, -2070312},        // the last value below it, again on a half step
    {4217, 0, 8430},            // at the crossing: page 0
    {4218, 0, 33035},           //
    {12000, 0, 191507568},      // c1 9.575 still inside the limit
    {400000, 0, 200000000},     // c1 beyond it, c2 -100 short of it: the limit
    {400000, 48846, 999956512}, // c2 49.998
};

TEST_F(ExactMergeTest, VoltageScalesThresholdAndMerges) {
    EXPECT_EQ(source->RangeThreshold, 4217);
    EXPECT_TRUE(source->PositiveSlope);
    for (const VoltageCase &c : kVoltages)
        EXPECT_EQ(source->ConvertToVoltage(c.raw, c.channel, 0, 0), c.expected)
            << "channel " << c.channel << ", raw " << c.raw;
    for (const MergeCase &c : kMerges)
        EXPECT_EQ(source->Merge(c.channel1, c.channel2), c.expected) << c.channel1 << ", " << c.channel2;
}

} // namespace
