#include "SimDataSheet.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace sim;

namespace {

float K(const DataSheetBytes &r, int page, size_t field) {
    return SimDataSheet::GetFloat(r, dds::PageOffset(page) + field);
}
double Calibrate(const DataSheetBytes &r, int page, double volts) {
    return K(r, page, dds::kPageK0) + K(r, page, dds::kPageK1) * volts;
}
std::string Units(const DataSheetBytes &r, int page) {
    return SimDataSheet::GetText(r, dds::PageOffset(page) + dds::kPageUnits, dds::kPageUnitsSize);
}
uint8_t Reverse(uint8_t x) {
    uint8_t r = 0;
    for (int bit = 0; bit < 8; ++bit)
        r = static_cast<uint8_t>(r | (((x >> bit) & 1) << (7 - bit)));
    return r;
}

} // namespace

TEST(SimDataSheet, NeutralSensorGivesTheKnownFreshRecord) {
    SimSensorInfo fresh;
    fresh.memMapVersion = 0;
    const DataSheetBytes r = SimDataSheet::Build(fresh);
    EXPECT_EQ(r[127], 0xDC);
    EXPECT_EQ(r[57], 14);
    EXPECT_EQ(r[58], 1);
    EXPECT_EQ(Units(r, 2), "Volts");
}

TEST(SimDataSheet, FloatsAreLittleEndianAtOddOffsets) {
    DataSheetBytes r{};
    SimDataSheet::PutFloat(r, dds::kYminValue, -10.0f);
    EXPECT_EQ(r[59], 0x00);
    EXPECT_EQ(r[60], 0x00);
    EXPECT_EQ(r[61], 0x20);
    EXPECT_EQ(r[62], 0xC1);
    EXPECT_EQ(SimDataSheet::GetFloat(r, 59), -10.0f);
    SimDataSheet::PutU16(r, dds::kWarmUpTime, 0x1234);
    EXPECT_EQ(r[54], 0x34);
    EXPECT_EQ(r[55], 0x12);
}

TEST(SimDataSheet, DefaultsAreValidAndShapedForTheCombinedChannel) {
    for (int channel = 1; channel <= 7; ++channel) {
        const DataSheetBytes r = SimDataSheet::Default(channel);
        EXPECT_TRUE(SimDataSheet::ChecksumValid(r)) << channel;
        EXPECT_LE(r[dds::kHighestValidCalPageIndex], 2) << channel;
        EXPECT_LE(r[dds::kActiveCalPage], r[dds::kHighestValidCalPageIndex]) << channel;
        EXPECT_EQ(r[dds::kCalibrationEquation], 1);
        EXPECT_FALSE(SimDataSheet::GetText(r, dds::kLongName, dds::kLongNameSize).empty());
        EXPECT_FALSE(Units(r, 0).empty());
        EXPECT_LE(r[6] >> 4, 5); // plausible BCD lot code
    }
    const DataSheetBytes ch1 = SimDataSheet::Default(1), ch2 = SimDataSheet::Default(2);
    for (const DataSheetBytes *r : {&ch1, &ch2}) {
        EXPECT_EQ((*r)[dds::kHighestValidCalPageIndex], 1);
        EXPECT_NEAR(Calibrate(*r, 0, 2.5), 0.0, 1e-5); // both pages cross zero at mid-scale
        EXPECT_NEAR(Calibrate(*r, 1, 2.5), 0.0, 1e-4);
        EXPECT_NE(K(*r, 0, dds::kPageK1), K(*r, 1, dds::kPageK1));
        EXPECT_EQ(Units(*r, 0), "N");
        EXPECT_EQ((*r)[dds::kLongName + 19], 'N'); // 20 characters, no terminator
    }
    EXPECT_NEAR(Calibrate(ch1, 0, 0.0), -10.0, 1e-5);
    EXPECT_NEAR(Calibrate(ch1, 0, 5.0), 10.0, 1e-5);
    EXPECT_NEAR(Calibrate(ch2, 0, 0.0), -100.0, 1e-4);
    EXPECT_NEAR(Calibrate(ch2, 0, 5.0), 100.0, 1e-4);
    // Channel 7 undoes the host's combined scale (v = 2.5 + g / 40).
    const DataSheetBytes ch7 = SimDataSheet::Default(7);
    EXPECT_NEAR(Calibrate(ch7, 0, 2.5 + 42.0 / 40), 42.0, 1e-4);
    EXPECT_EQ(Units(SimDataSheet::Default(5), 1), "kilolux"); // fills the units field
}

TEST(SimDataSheet, FaultsBreakRecordsAsDocumented) {
    for (int channel = 1; channel <= 7; ++channel) {
        const DataSheetBytes good = SimDataSheet::Default(channel);
        const uint8_t x = SimDataSheet::Checksum(good);
        EXPECT_EQ(SimDataSheet::WithFault(good, SheetFault::None), good);
        EXPECT_EQ(SimDataSheet::WithFault(good, SheetFault::Blank), DataSheetBytes{});

        const DataSheetBytes bad = SimDataSheet::WithFault(good, SheetFault::BadChecksum);
        EXPECT_NE(bad[127], x);
        EXPECT_NE(bad[127], static_cast<uint8_t>(~x));
        EXPECT_NE(bad[127], Reverse(x));
        EXPECT_TRUE(std::equal(bad.begin(), bad.end() - 1, good.begin()));
        EXPECT_EQ(SimDataSheet::WithFault(good, SheetFault::ComplementedChecksum)[127], static_cast<uint8_t>(~x));

        const DataSheetBytes high = SimDataSheet::WithFault(good, SheetFault::HighestPageOutOfRange);
        EXPECT_EQ(high[dds::kHighestValidCalPageIndex], 3);
        EXPECT_TRUE(SimDataSheet::ChecksumValid(high));
        const DataSheetBytes active = SimDataSheet::WithFault(good, SheetFault::ActivePageBeyondHighest);
        EXPECT_EQ(active[dds::kHighestValidCalPageIndex], 1);
        EXPECT_EQ(active[dds::kActiveCalPage], 2);
        EXPECT_TRUE(SimDataSheet::ChecksumValid(active));
    }
}

TEST(SimDataSheet, TextsAreCutAndZeroPadded) {
    SimSensorInfo info;
    info.shortName = "ABCDEFGHIJKLMNOP"; // 16 characters into 12
    info.pages[0].units = "m";
    const DataSheetBytes r = SimDataSheet::Build(info);
    EXPECT_EQ(SimDataSheet::GetText(r, dds::kShortName, dds::kShortNameSize), "ABCDEFGHIJKL");
    EXPECT_EQ(r[dds::kUncertainty], 0); // nothing spilled over
    for (size_t i = 1; i < dds::kPageUnitsSize; ++i)
        EXPECT_EQ(r[dds::PageOffset(0) + dds::kPageUnits + i], 0);
}
