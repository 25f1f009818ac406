// The product source against a simulated unit: connecting, the range
// preparation and its failures, channel 7 mirroring channel 1, and the unit's
// constants and tables.
#include "ProductTestSupport.h"

#include "TraceCapture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

using namespace product_test;

namespace {

constexpr uint8_t kReadNV = 0x27;
constexpr uint8_t kInit = 0x1A;

// ---------------------------------------------------------------------------
// Connecting

using ConnectTest = ProductUnitTest;

TEST_F(ConnectTest, OpenSendsInitThenPreparesTheRangeFromTheDefaultSheets) {
    OpenConnected();
    EXPECT_EQ(1u, unit->CommandCount(kInit));
    EXPECT_EQ(3u, unit->CommandCount(kReadNV)); // channels 1, 2 and 7

    ASSERT_TRUE(source->RangePrepared);
    // Channel 1 reads -10 + 4 v on page 0: zero at 2.5 V, 32768 counts.
    EXPECT_EQ(32768, source->RangeThreshold);
    EXPECT_TRUE(source->PositiveSlope);
    const sim::DataSheetBytes sheet1 = unit->DataSheet(1);
    const sim::DataSheetBytes sheet2 = unit->DataSheet(2);
    EXPECT_EQ(0, std::memcmp(sheet1.data(), source->ReferenceRecord1.bytes, sheet1.size()));
    EXPECT_EQ(0, std::memcmp(sheet2.data(), source->ReferenceRecord2.bytes, sheet2.size()));
}

TEST_F(ConnectTest, RangeIsPreparedOnlyOnce) {
    OpenConnected();
    ASSERT_TRUE(source->RangePrepared);
    unit->SetDataSheet(1, SheetWith(1, {0.0f, 4.0f}, {0.0f, 4.0f}));
    EXPECT_EQ(0, source->PrepareRange());
    EXPECT_EQ(3u, unit->CommandCount(kReadNV));
    EXPECT_EQ(32768, source->RangeThreshold);
}

TEST_F(ConnectTest, OpenOnAUnitThatIsNotThereLeavesNoDevice) {
    sim::SimUnit absent("99999");
    const GPortRef absentPort = scope.PortOf(absent);
    EXPECT_EQ(-1, source->Open(&absentPort));
    EXPECT_EQ(nullptr, source->GetDevice());
    EXPECT_FALSE(source->RangePrepared);
}

TEST_F(ConnectTest, OpenWhoseInitIsNotAnsweredClosesAndDeletesTheDevice) {
    unit->SetDropResponsesTo(kInit, true);
    EXPECT_EQ(-1, source->Open(&port)); // after the 2000 ms wait
    EXPECT_EQ(nullptr, source->GetDevice());
    EXPECT_EQ(1u, unit->CommandCount(kInit));
    EXPECT_EQ(0u, unit->CommandCount(kReadNV));
    EXPECT_TRUE(WaitUntil([&] { return !unit->IsConnected(); }));
}

TEST_F(ConnectTest, OpenWithNoStackChosenFailsCleanly) {
    NoStackChosen none;
    TraceCapture trace(100);
    EXPECT_EQ(-1, source->Open(&port));
    EXPECT_EQ(nullptr, source->GetDevice());
    EXPECT_TRUE(trace.Contains(L"Error - GCrashTestDummyDevice constructor, OSInitialize() returned false."));
    EXPECT_EQ(0u, unit->TotalCommands());
}

TEST_F(ConnectTest, AnEmptyPortCreatesNoDevice) {
    const GPortRef empty;
    EXPECT_EQ(0, source->AttachDevice(&empty));
    EXPECT_EQ(nullptr, source->GetDevice());
    EXPECT_EQ(-1, source->Open(&empty));
    EXPECT_EQ(nullptr, source->GetDevice());
    EXPECT_EQ(-1, source->AttachDevice(nullptr));
}

TEST_F(ConnectTest, ReattachingReplacesTheDeviceAndCopiesThePort) {
    ASSERT_EQ(0, source->AttachDevice(&port));
    GDeviceIO *first = source->GetDevice();
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(port.GetLocation(), source->GetPortLocation());
    const GPortRef empty;
    EXPECT_EQ(0, source->AttachDevice(&empty)); // the old device is deleted
    EXPECT_EQ(nullptr, source->GetDevice());
    OpenConnected();
}

// ---------------------------------------------------------------------------
// A failed preparation leaves merging off and the open standing

struct PreparationFault {
    const char *name;
    int channel;
    sim::SheetFault fault;
    uint64_t readsSent; // the preparation stops at the first bad sheet
};

class FailedPreparationTest : public ProductUnitTest, public ::testing::WithParamInterface<PreparationFault> {};

TEST_P(FailedPreparationTest, OpenSucceedsWithMergingOff) {
    const PreparationFault &p = GetParam();
    unit->SetDataSheet(p.channel, sim::SimDataSheet::WithFault(unit->DataSheet(p.channel), p.fault));
    OpenConnected();
    EXPECT_FALSE(source->RangePrepared);
    EXPECT_EQ(p.readsSent, unit->CommandCount(kReadNV));
    EXPECT_EQ(0, source->Merge(16384, 16384));
    EXPECT_DOUBLE_EQ(0.0, source->ConvertToVoltage(0, 7, 2, 1));

    // A later attempt on sound sheets succeeds.
    unit->SetDataSheet(p.channel, sim::SimDataSheet::Default(p.channel));
    EXPECT_EQ(0, source->PrepareRange());
    EXPECT_TRUE(source->RangePrepared);
}

INSTANTIATE_TEST_SUITE_P(
    Sheets, FailedPreparationTest,
    ::testing::Values(PreparationFault{"BlankChannel1", 1, sim::SheetFault::Blank, 1},
                      PreparationFault{"BadChecksumChannel2", 2, sim::SheetFault::BadChecksum, 2},
                      // Lenient verification would take it: the check must be strict.
                      PreparationFault{"ComplementedChecksumChannel2", 2, sim::SheetFault::ComplementedChecksum, 2},
                      PreparationFault{"PageOutOfRangeChannel7", 7, sim::SheetFault::HighestPageOutOfRange, 3},
                      PreparationFault{"ActivePageChannel7", 7, sim::SheetFault::ActivePageBeyondHighest, 3}),
    [](const ::testing::TestParamInfo<PreparationFault> &info) { return std::string(info.param.name); });

TEST_F(ProductUnitTest, AFailedSheetTransferIsDroppedAndTheOpenGoesOn) {
    unit->SetDropResponsesTo(kReadNV, true);
    OpenConnected(); // after one 2000 ms wait for channel 1's sheet
    EXPECT_FALSE(source->RangePrepared);
    EXPECT_EQ(1u, unit->CommandCount(kReadNV));
}

// ---------------------------------------------------------------------------
// Channel 7 mirrors channel 1 while merging is off

class MirrorTest : public ProductUnitTest {
  protected:
    void SetUp() override {
        ProductUnitTest::SetUp();
        unit->SetDataSheet(1, sim::SimDataSheet::WithFault(unit->DataSheet(1), sim::SheetFault::Blank));
        OpenConnected();
        ASSERT_FALSE(source->RangePrepared);
    }
};

TEST_F(MirrorTest, CountsAndReadsOfChannel7ComeFromChannel1) {
    source->Feed(MeasurementBlob(0x06, 3, {1, 100, 2, 200, 3, 300}));
    EXPECT_EQ(3, source->GetNumMeasurementsAvailable(7));
    EXPECT_EQ((std::vector<int32_t>{16, 32, 48}), source->ReadAll(7));
    EXPECT_EQ(0, source->GetNumMeasurementsAvailable(1)); // the read above took them from ring 1
    EXPECT_EQ(3, source->GetNumMeasurementsAvailable(2)); // no merged values, ring 2 untouched

    source->Feed(MeasurementBlob(0x02, 3, {4, 5, 6}));
    EXPECT_EQ(source->GetNumMeasurementsAvailable(1), source->GetNumMeasurementsAvailable(7));
    int32_t values[8] = {};
    int32_t count = 0;
    EXPECT_EQ(0, source->ReadRawMeasurements(7, values, 0, 8, &count));
    ASSERT_EQ(3, count);
    EXPECT_EQ((std::vector<int32_t>{64, 80, 96}), std::vector<int32_t>(values, values + 3));
}

TEST_F(MirrorTest, LatestValueAndClearingOfChannel7ActOnChannel1) {
    source->Feed(MeasurementBlob(0x02, 2, {7, 9}));
    EXPECT_EQ(144, source->GetLatestRawMeasurement(7));
    EXPECT_EQ(0, source->GetNumMeasurementsAvailable(1));

    source->Feed(MeasurementBlob(0x02, 2, {7, 9}));
    EXPECT_EQ(0, source->ClearMeasurements(7));
    EXPECT_EQ(0, source->GetNumMeasurementsAvailable(1));
}

TEST_F(MirrorTest, TheUnitsOwnChannel7StaysHiddenBehindChannel1) {
    source->Feed(MeasurementBlob(0x80, 4, {1, 2, 3, 4}));
    EXPECT_EQ(0, source->GetNumMeasurementsAvailable(7));
    EXPECT_EQ(0, source->GetLatestRawMeasurement(7));
}

// ---------------------------------------------------------------------------
// Constants and tables (no unit needed)

TEST(ProductConstantsTest, TimingConstants) {
    GMBLCrashTestDummySource source;
    EXPECT_DOUBLE_EQ(0.001, source.GetMeasurementTick());
    for (int32_t channel : {-1, 0, 3, 7}) {
        EXPECT_DOUBLE_EQ(0.001, source.GetMinimumMeasurementPeriod(channel));
        EXPECT_DOUBLE_EQ(65.535, source.GetMaximumMeasurementPeriod(channel));
    }
    EXPECT_EQ(65535, std::lround(source.GetMaximumMeasurementPeriod(1) / source.GetMeasurementTick()));
    EXPECT_DOUBLE_EQ(0.001, source.Op30(0, 0, 0, 0));
}

TEST(ProductConstantsTest, SensorCodesOfTheVisibleChannels) {
    GMBLCrashTestDummySource source;
    const struct {
        int32_t channel;
        bool known;
        int32_t number;
    } table[] = {{-1, false, 0}, {0, false, 0},  {1, false, 0},  {2, false, 0},  {3, true, 101},
                 {4, true, 103}, {5, true, 102}, {6, true, 104}, {7, true, 100}, {8, false, 0}};
    for (const auto &row : table) {
        int32_t number = -7;
        EXPECT_EQ(row.known, source.Op46(row.channel, &number)) << row.channel;
        EXPECT_EQ(row.number, number) << row.channel;
    }
    EXPECT_FALSE(source.Op46(9, nullptr));
}

TEST(ProductConstantsTest, MemoryRanges) {
    GMBLCrashTestDummySource source;
    const struct {
        int32_t block;
        int32_t highest;
    } table[] = {{-1, 0x5FFF}, {0xFF, 0x5FFF}, {0, 0},  {1, 127},     {4, 127},
                 {7, 127},     {8, 0},         {-2, 0}, {0x107, 127}, {0x100, 0}};
    for (const auto &row : table)
        EXPECT_EQ(row.highest, source.GetNVMemAddrRange(row.block)) << row.block;
}

TEST(ProductConstantsTest, VoltageScaleWithoutMerging) {
    GMBLCrashTestDummySource source;
    EXPECT_DOUBLE_EQ(2.5, source.ConvertToVoltage(32768, 3, 2, 1));
    EXPECT_DOUBLE_EQ(0.0, source.ConvertToVoltage(0, 7, 2, 1));
    EXPECT_DOUBLE_EQ(2.5, source.ConvertToVoltage(32768, 7, 2, 1));
    EXPECT_DOUBLE_EQ(4.998779296875, source.ConvertToVoltage(65520, 1, 0, 0));
    EXPECT_DOUBLE_EQ(80.0, source.ConvertToVoltage(1048576, 5, 0, 0));
}

TEST(ProductConstantsTest, WithoutRingsChannel7HasNothing) {
    GMBLCrashTestDummySource source;
    EXPECT_EQ(0, source.GetNumMeasurementsAvailable(7));
    EXPECT_EQ(0, source.GetLatestRawMeasurement(7));
    EXPECT_EQ(0, source.Merge(100, 100));
}

} // namespace
