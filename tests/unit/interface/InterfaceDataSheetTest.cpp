// The data-sheet exports: the library's copy of each sensor's record, field by
// field and whole, checked against the record layout the unit serves.
#include "InterfaceTestSupport.h"

#include "SimDataSheet.h"

#include <algorithm>
#include <cstring>

namespace iface_test {
namespace {

using sim::SimDataSheet;
using sim::SimUnit;
namespace dds = sim::dds;

using Record = std::array<unsigned char, 128>;

class InterfaceDataSheetTest : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        unit = AddUnit("Alpha");
        device = Open(*unit);
        ASSERT_NE(device, nullptr);
    }

    Record Stored(int channel) {
        Record record{};
        EXPECT_EQ(Ostrel_Device_DDSMem_GetRecord(device, channel, record.data()), 0);
        return record;
    }

    std::shared_ptr<SimUnit> unit;
    OstrelDevice device = nullptr;
};

TEST_F(InterfaceDataSheetTest, OpenKeepsTheUnitsRecordsOfChannels3To7) {
    for (int channel = 3; channel <= 7; ++channel) {
        const sim::DataSheetBytes served = unit->DataSheet(channel);
        const Record stored = Stored(channel);
        EXPECT_TRUE(std::equal(served.begin(), served.end(), stored.begin())) << channel;
    }
}

TEST_F(InterfaceDataSheetTest, FieldsLandAtTheirPlaceInTheRecord) {
    const int ch = 7;
    ASSERT_EQ(Ostrel_Device_DDSMem_SetMemMapVersion(device, ch, 0x1F1), 0); // low 8 bits
    ASSERT_EQ(Ostrel_Device_DDSMem_SetSerialNumber(device, ch, 0xA1, 0xA2, 0xA3), 0);
    ASSERT_EQ(Ostrel_Device_DDSMem_SetLotCode(device, ch, 0xB1, 0xB2), 0);
    ASSERT_EQ(Ostrel_Device_DDSMem_SetManufacturerID(device, ch, 0xC1), 0);
    ASSERT_EQ(Ostrel_Device_DDSMem_SetUncertainty(device, ch, 0xC2), 0);
    ASSERT_EQ(Ostrel_Device_DDSMem_SetSignificantFigures(device, ch, 0xC3), 0);
    ASSERT_EQ(Ostrel_Device_DDSMem_SetCurrentRequirement(device, ch, 0xC4), 0);
    ASSERT_EQ(Ostrel_Device_DDSMem_SetAveraging(device, ch, 0xC5), 0);
    ASSERT_EQ(Ostrel_Device_DDSMem_SetMinSamplePeriod(device, ch, 0.25f), 0);
    ASSERT_EQ(Ostrel_Device_DDSMem_SetTypSamplePeriod(device, ch, 0.5f), 0);
    ASSERT_EQ(Ostrel_Device_DDSMem_SetTypNumberofSamples(device, ch, 0x11234), 0); // low 16 bits
    ASSERT_EQ(Ostrel_Device_DDSMem_SetWarmUpTime(device, ch, 0x5678), 0);
    ASSERT_EQ(Ostrel_Device_DDSMem_SetExperimentType(device, ch, 0xD1), 0);
    ASSERT_EQ(Ostrel_Device_DDSMem_SetOperationType(device, ch, 0xD2), 0);
    ASSERT_EQ(Ostrel_Device_DDSMem_SetCalibrationEquation(device, ch, 0xD3), 0);
    ASSERT_EQ(Ostrel_Device_DDSMem_SetYminValue(device, ch, -12.5f), 0);
    ASSERT_EQ(Ostrel_Device_DDSMem_SetYmaxValue(device, ch, 1234.5f), 0);
    ASSERT_EQ(Ostrel_Device_DDSMem_SetYscale(device, ch, 0xD4), 0);
    ASSERT_EQ(Ostrel_Device_DDSMem_SetHighestValidCalPageIndex(device, ch, 5), 0); // not range-checked
    ASSERT_EQ(Ostrel_Device_DDSMem_SetActiveCalPage(device, ch, 0xD6), 0);
    ASSERT_EQ(Ostrel_Device_DDSMem_SetCalPage(device, ch, 2, 1.5f, -2.5f, 3.25f, "mV"), 0);
    ASSERT_EQ(Ostrel_Device_DDSMem_SetChecksum(device, ch, 0xEE), 0);

    const Record r = Stored(ch);
    sim::DataSheetBytes bytes;
    std::copy(r.begin(), r.end(), bytes.begin());
    EXPECT_EQ(r[dds::kMemMapVersion], 0xF1);
    EXPECT_EQ(r[dds::kSerialNumber], 0xA1);
    EXPECT_EQ(r[dds::kSerialNumber + 2], 0xA3);
    EXPECT_EQ(r[dds::kLotCode], 0xB1);
    EXPECT_EQ(r[dds::kLotCode + 1], 0xB2);
    EXPECT_EQ(r[dds::kManufacturerID], 0xC1);
    EXPECT_EQ(r[dds::kUncertainty], 0xC2);
    EXPECT_EQ(r[dds::kSignificantFigures], 0xC3);
    EXPECT_EQ(r[dds::kCurrentRequirement], 0xC4);
    EXPECT_EQ(r[dds::kAveraging], 0xC5);
    EXPECT_EQ(SimDataSheet::GetFloat(bytes, dds::kMinSamplePeriod), 0.25f);
    EXPECT_EQ(SimDataSheet::GetFloat(bytes, dds::kTypSamplePeriod), 0.5f);
    EXPECT_EQ(SimDataSheet::GetU16(bytes, dds::kTypNumberofSamples), 0x1234);
    EXPECT_EQ(SimDataSheet::GetU16(bytes, dds::kWarmUpTime), 0x5678);
    EXPECT_EQ(r[dds::kExperimentType], 0xD1);
    EXPECT_EQ(r[dds::kOperationType], 0xD2);
    EXPECT_EQ(r[dds::kCalibrationEquation], 0xD3);
    EXPECT_EQ(SimDataSheet::GetFloat(bytes, dds::kYminValue), -12.5f);
    EXPECT_EQ(SimDataSheet::GetFloat(bytes, dds::kYmaxValue), 1234.5f);
    EXPECT_EQ(r[dds::kYscale], 0xD4);
    EXPECT_EQ(r[dds::kHighestValidCalPageIndex], 5);
    EXPECT_EQ(r[dds::kActiveCalPage], 0xD6);
    EXPECT_EQ(SimDataSheet::GetFloat(bytes, dds::PageOffset(2) + dds::kPageK0), 1.5f);
    EXPECT_EQ(SimDataSheet::GetFloat(bytes, dds::PageOffset(2) + dds::kPageK1), -2.5f);
    EXPECT_EQ(SimDataSheet::GetFloat(bytes, dds::PageOffset(2) + dds::kPageK2), 3.25f);
    EXPECT_EQ(SimDataSheet::GetText(bytes, dds::PageOffset(2) + dds::kPageUnits, dds::kPageUnitsSize), "mV");
    EXPECT_EQ(r[dds::kChecksum], 0xEE);

    // And the getters read them back.
    unsigned char u8 = 0;
    unsigned short u16 = 0;
    float f = 0.0f;
    EXPECT_EQ(Ostrel_Device_DDSMem_GetActiveCalPage(device, ch, &u8), 0);
    EXPECT_EQ(u8, 0xD6);
    EXPECT_EQ(Ostrel_Device_DDSMem_GetWarmUpTime(device, ch, &u16), 0);
    EXPECT_EQ(u16, 0x5678);
    EXPECT_EQ(Ostrel_Device_DDSMem_GetYmaxValue(device, ch, &f), 0);
    EXPECT_EQ(f, 1234.5f);
    unsigned char b0 = 0, b1 = 0, b2 = 0;
    EXPECT_EQ(Ostrel_Device_DDSMem_GetSerialNumber(device, ch, &b0, &b1, &b2), 0);
    EXPECT_EQ(b0 + (b1 << 8) + (b2 << 16), 0xA3A2A1);
    EXPECT_EQ(Ostrel_Device_DDSMem_GetLotCode(device, ch, &b0, &b1), 0);
    EXPECT_EQ(b0 + (b1 << 8), 0xB2B1);
    // Nothing was sent to the unit.
    EXPECT_EQ(unit->DataSheet(ch), SimDataSheet::Default(ch));
}

TEST_F(InterfaceDataSheetTest, OnlyChannels3To7AreAccepted) {
    unsigned char value = 0xA5;
    for (int channel : {2, 8, -1, 0}) {
        EXPECT_EQ(Ostrel_Device_DDSMem_SetAveraging(device, channel, 9), -1) << channel;
        EXPECT_EQ(Ostrel_Device_DDSMem_GetAveraging(device, channel, &value), -1) << channel;
    }
    EXPECT_EQ(value, 0xA5);
    EXPECT_EQ(Ostrel_Device_DDSMem_GetAveraging(device, 3, &value), 0);
    EXPECT_EQ(Ostrel_Device_DDSMem_GetAveraging(device, 7, &value), 0);
    EXPECT_EQ(Ostrel_Device_DDSMem_SetAveraging(device, 0x107, 9), 0);
    EXPECT_EQ(Ostrel_Device_DDSMem_GetAveraging(device, 7, &value), 0);
    EXPECT_EQ(value, 9);
}

TEST_F(InterfaceDataSheetTest, TextsAreCutToTheirFieldAndToTheBuffer) {
    ASSERT_EQ(Ostrel_Device_DDSMem_SetLongName(device, 3, "ABCDEFGHIJKLMNOPQRSTUVWXY"), 0);
    const Record r = Stored(3);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&r[dds::kLongName]), 20), "ABCDEFGHIJKLMNOPQRST");
    EXPECT_EQ(r[dds::kShortName], 'T'); // the next field is untouched ("Temp")

    char buffer[64];
    std::memset(buffer, 'x', sizeof buffer);
    ASSERT_EQ(Ostrel_Device_DDSMem_GetLongName(device, 3, buffer, 64), 0);
    EXPECT_STREQ(buffer, "ABCDEFGHIJKLMNOPQRST");
    std::memset(buffer, 'x', sizeof buffer);
    ASSERT_EQ(Ostrel_Device_DDSMem_GetLongName(device, 3, buffer, 8), 0);
    EXPECT_STREQ(buffer, "ABCDEFG");
    EXPECT_EQ(buffer[8], 'x');
    ASSERT_EQ(Ostrel_Device_DDSMem_GetLongName(device, 3, buffer, 1), 0);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], 'B'); // still from the 8-byte read
    // A length of 0 has no room even for the terminator.
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(Ostrel_Device_DDSMem_GetLongName(device, 3, buffer, 0), -1);
    EXPECT_EQ(buffer[0], 'x');

    // A shorter text clears the rest of the field.
    ASSERT_EQ(Ostrel_Device_DDSMem_SetShortName(device, 3, "Hi"), 0);
    const Record s = Stored(3);
    EXPECT_EQ(s[dds::kShortName + 2], 0);
    EXPECT_EQ(s[dds::kShortName + 11], 0);
    ASSERT_EQ(Ostrel_Device_DDSMem_GetShortName(device, 3, buffer, 64), 0);
    EXPECT_STREQ(buffer, "Hi");
    ASSERT_EQ(Ostrel_Device_DDSMem_SetShortName(device, 3, "123456789012345"), 0);
    ASSERT_EQ(Ostrel_Device_DDSMem_GetShortName(device, 3, buffer, 64), 0);
    EXPECT_STREQ(buffer, "123456789012");
}

TEST_F(InterfaceDataSheetTest, SensorNumberAdjustsOperationType) {
    unsigned char number = 0;
    unsigned char operation = 0;
    ASSERT_EQ(Ostrel_Device_DDSMem_SetOperationType(device, 4, 2), 0);
    ASSERT_EQ(Ostrel_Device_DDSMem_SetSensorNumber(device, 4, 300), 0);
    EXPECT_EQ(Ostrel_Device_DDSMem_GetSensorNumber(device, 4, &number), 0);
    EXPECT_EQ(number, 44);
    EXPECT_EQ(Ostrel_Device_DDSMem_GetOperationType(device, 4, &operation), 0);
    EXPECT_EQ(operation, 14);

    ASSERT_EQ(Ostrel_Device_DDSMem_SetSensorNumber(device, 4, 2), 0);
    EXPECT_EQ(Ostrel_Device_DDSMem_GetOperationType(device, 4, &operation), 0);
    EXPECT_EQ(operation, 2);

    for (int untouched : {60, 69}) {
        ASSERT_EQ(Ostrel_Device_DDSMem_SetOperationType(device, 4, 2), 0);
        ASSERT_EQ(Ostrel_Device_DDSMem_SetSensorNumber(device, 4, untouched), 0);
        EXPECT_EQ(Ostrel_Device_DDSMem_GetOperationType(device, 4, &operation), 0);
        EXPECT_EQ(operation, 2) << untouched;
    }
    // Any other number leaves an OperationType other than 2 alone.
    ASSERT_EQ(Ostrel_Device_DDSMem_SetOperationType(device, 4, 7), 0);
    ASSERT_EQ(Ostrel_Device_DDSMem_SetSensorNumber(device, 4, 50), 0);
    EXPECT_EQ(Ostrel_Device_DDSMem_GetOperationType(device, 4, &operation), 0);
    EXPECT_EQ(operation, 7);
}

TEST_F(InterfaceDataSheetTest, CalibrationPagesZeroToTwo) {
    float k0 = 0.0f, k1 = 0.0f, k2 = 0.0f;
    char units[16];
    std::memset(units, 'x', sizeof units);
    EXPECT_EQ(Ostrel_Device_DDSMem_SetCalPage(device, 5, 3, 1.0f, 2.0f, 3.0f, "V"), -1);
    EXPECT_EQ(Ostrel_Device_DDSMem_GetCalPage(device, 5, 3, &k0, &k1, &k2, units, sizeof units), -1);
    EXPECT_EQ(units[0], 'x');
    EXPECT_EQ(k0, 0.0f);

    ASSERT_EQ(Ostrel_Device_DDSMem_SetCalPage(device, 5, 2, 1.0f, 2.0f, 3.0f, "Candela"), 0);
    ASSERT_EQ(Ostrel_Device_DDSMem_GetCalPage(device, 5, 2, &k0, &k1, &k2, units, sizeof units), 0);
    EXPECT_EQ(k0, 1.0f);
    EXPECT_EQ(k1, 2.0f);
    EXPECT_EQ(k2, 3.0f);
    EXPECT_STREQ(units, "Candela");
    ASSERT_EQ(Ostrel_Device_DDSMem_GetCalPage(device, 5, 2, &k0, &k1, &k2, units, 4), 0);
    EXPECT_STREQ(units, "Can");
    // Page 0 is still the sensor's.
    ASSERT_EQ(Ostrel_Device_DDSMem_GetCalPage(device, 5, 0, &k0, &k1, &k2, units, sizeof units), 0);
    EXPECT_EQ(k1, 200.0f);
    EXPECT_STREQ(units, "lux");
}

TEST_F(InterfaceDataSheetTest, ChecksumChangesOnlyWhenComputed) {
    unsigned char checksum = 0;
    unsigned char computed = 0;
    const unsigned char original = unit->DataSheet(6)[dds::kChecksum];
    ASSERT_EQ(Ostrel_Device_DDSMem_GetChecksum(device, 6, &checksum), 0);
    EXPECT_EQ(checksum, original);
    ASSERT_EQ(Ostrel_Device_DDSMem_CalculateChecksum(device, 6, &computed), 0);
    EXPECT_EQ(computed, original);

    ASSERT_EQ(Ostrel_Device_DDSMem_SetAveraging(device, 6, 0x5A), 0);
    ASSERT_EQ(Ostrel_Device_DDSMem_GetChecksum(device, 6, &checksum), 0);
    EXPECT_EQ(checksum, original);
    ASSERT_EQ(Ostrel_Device_DDSMem_CalculateChecksum(device, 6, &computed), 0);
    sim::DataSheetBytes changed{};
    const Record r = Stored(6);
    std::copy(r.begin(), r.end(), changed.begin());
    EXPECT_EQ(computed, SimDataSheet::Checksum(changed));
    EXPECT_NE(computed, original);
    EXPECT_EQ(r[dds::kChecksum], original); // computing does not store it
}

TEST_F(InterfaceDataSheetTest, ReadRecordReachesChannelsTheOtherExportsRefuse) {
    Record record{};
    ASSERT_EQ(Ostrel_Device_DDSMem_ReadRecord(device, 1, 1, 1000), 0);
    EXPECT_EQ(Ostrel_Device_DDSMem_GetRecord(device, 1, record.data()), -1);
    EXPECT_EQ(Ostrel_Device_DDSMem_ReadRecord(device, 8, 1, 1000), -1);
    EXPECT_EQ(Ostrel_Device_DDSMem_ReadRecord(device, -1, 1, 1000), -1);
    EXPECT_EQ(Ostrel_Device_DDSMem_WriteRecord(device, 3, 1000), -1);
    EXPECT_EQ(Ostrel_Device_DDSMem_WriteRecord(device, 1, 1000), -1);
}

TEST_F(InterfaceDataSheetTest, ReadRecordStrictRejectsABlankSheetThatLenientTakes) {
    const Record before = Stored(4);
    unit->SetDataSheet(4, SimDataSheet::WithFault(SimDataSheet::Default(4), sim::SheetFault::Blank));
    EXPECT_EQ(Ostrel_Device_DDSMem_ReadRecord(device, 4, 1, 1000), -2);
    EXPECT_EQ(Stored(4), before);
    EXPECT_EQ(Ostrel_Device_DDSMem_ReadRecord(device, 4, 0, 1000), 0);
    EXPECT_EQ(Stored(4), Record{});
}

TEST_F(InterfaceDataSheetTest, ReadRecordReplacesTheHostsChanges) {
    ASSERT_EQ(Ostrel_Device_DDSMem_SetHighestValidCalPageIndex(device, 3, 5), 0);
    ASSERT_EQ(Ostrel_Device_DDSMem_ReadRecord(device, 3, 1, 1000), 0);
    unsigned char highest = 0;
    ASSERT_EQ(Ostrel_Device_DDSMem_GetHighestValidCalPageIndex(device, 3, &highest), 0);
    EXPECT_EQ(highest, unit->DataSheet(3)[dds::kHighestValidCalPageIndex]);
}

TEST_F(InterfaceDataSheetTest, ReadRecordPassesOnAFailedTransfer) {
    unit->SetDropResponsesTo(SimUnit::kCmdReadNV, true);
    const Record before = Stored(5);
    EXPECT_EQ(Ostrel_Device_DDSMem_ReadRecord(device, 5, 1, 100), -1);
    EXPECT_EQ(Stored(5), before);
}

TEST_F(InterfaceDataSheetTest, SetRecordStoresBytesUnchecked) {
    Record record{};
    for (size_t i = 0; i < record.size(); ++i)
        record[i] = static_cast<unsigned char>(i);
    ASSERT_EQ(Ostrel_Device_DDSMem_SetRecord(device, 5, record.data()), 0);
    EXPECT_EQ(Stored(5), record);
}

TEST_F(InterfaceDataSheetTest, MissingOutputsAreRefusedAndNothingChanges) {
    const Record before = Stored(3);
    EXPECT_EQ(Ostrel_Device_DDSMem_GetAveraging(device, 3, nullptr), -1);
    EXPECT_EQ(Ostrel_Device_DDSMem_GetWarmUpTime(device, 3, nullptr), -1);
    EXPECT_EQ(Ostrel_Device_DDSMem_GetYminValue(device, 3, nullptr), -1);
    EXPECT_EQ(Ostrel_Device_DDSMem_GetSensorNumber(device, 3, nullptr), -1);
    EXPECT_EQ(Ostrel_Device_DDSMem_GetLongName(device, 3, nullptr, 20), -1);
    unsigned char b0 = 0xA5, b1 = 0xA5;
    EXPECT_EQ(Ostrel_Device_DDSMem_GetSerialNumber(device, 3, &b0, &b1, nullptr), -1);
    EXPECT_EQ(b0, 0xA5);
    EXPECT_EQ(Ostrel_Device_DDSMem_GetLotCode(device, 3, nullptr, &b1), -1);
    EXPECT_EQ(b1, 0xA5);
    float k0 = -1.0f, k1 = -1.0f;
    char units[8] = "keep";
    EXPECT_EQ(Ostrel_Device_DDSMem_GetCalPage(device, 3, 0, &k0, &k1, nullptr, units, sizeof units), -1);
    EXPECT_EQ(k0, -1.0f);
    EXPECT_STREQ(units, "keep");
    EXPECT_EQ(Ostrel_Device_DDSMem_GetRecord(device, 3, nullptr), -1);
    EXPECT_EQ(Ostrel_Device_DDSMem_CalculateChecksum(device, 3, nullptr), -1);
    EXPECT_EQ(Ostrel_Device_DDSMem_SetRecord(device, 3, nullptr), -1);
    EXPECT_EQ(Ostrel_Device_DDSMem_SetLongName(device, 3, nullptr), -1);
    EXPECT_EQ(Ostrel_Device_DDSMem_SetCalPage(device, 3, 0, 1.0f, 1.0f, 1.0f, nullptr), -1);
    EXPECT_EQ(Stored(3), before);
}

} // namespace
} // namespace iface_test
