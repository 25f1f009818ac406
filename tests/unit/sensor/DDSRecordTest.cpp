#include "DDSRecord.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(DDSRecordLayout, KindsMatchWidths) {
    auto expectWidth = [](const DDSFieldInfo &f) {
        switch (f.kind) {
        case DDSFieldKind::U8:
            EXPECT_TRUE(f.width == 1 && f.count == 1) << f.name;
            break;
        case DDSFieldKind::U8Array:
            EXPECT_TRUE(f.width == 1 && f.count > 1) << f.name;
            break;
        case DDSFieldKind::U16:
            EXPECT_TRUE(f.width == 2 && f.count == 1) << f.name;
            break;
        case DDSFieldKind::Float32:
            EXPECT_TRUE(f.width == 4 && f.count == 1) << f.name;
            break;
        case DDSFieldKind::Text:
        case DDSFieldKind::CalPages:
            EXPECT_EQ(f.count, f.kind == DDSFieldKind::Text ? 1 : 3) << f.name;
            break;
        }
    };
    for (const DDSFieldInfo &f : kDDSFields)
        expectWidth(f);
    for (const DDSFieldInfo &f : kDDSCalPageFields)
        expectWidth(f);
    EXPECT_STREQ(FieldInfo(DDSField::TypNumberofSamples).name, "TypNumberofSamples");
    EXPECT_EQ(CalPageFieldOffset(1, DDSCalPageField::K0), 89u);
    EXPECT_EQ(CalPageFieldOffset(2, DDSCalPageField::Units), 120u);
}

TEST(DDSRecordLayout, FreshRecordHoldsNeutralCalibration) {
    const DDSRecord r = MakeFreshRecord();
    EXPECT_EQ(r.U8(DDSOffset::Checksum), 0xDC);
    EXPECT_EQ(ComputeChecksum(r), 0xDC);
    EXPECT_EQ(r.Float32(DDSOffset::MinSamplePeriod), 0.001f);
    EXPECT_EQ(r.Float32(DDSOffset::TypSamplePeriod), 0.001f);
    EXPECT_EQ(r.U8(DDSOffset::OperationType), 14);
    EXPECT_EQ(r.U8(DDSOffset::CalibrationEquation), 1);
    EXPECT_EQ(r.Float32(DDSOffset::YmaxValue), 1000.0f);
    for (size_t page = 0; page < kDDSCalPageCount; ++page) {
        EXPECT_EQ(r.Float32(CalPageFieldOffset(page, DDSCalPageField::K1)), 1.0f);
        EXPECT_EQ(0, std::memcmp(r.bytes + CalPageFieldOffset(page, DDSCalPageField::Units), "Volts\0\0", 7));
    }
    // Identity, names, sampling hints and range start stay zero.
    for (size_t i = 0; i < DDSOffset::MinSamplePeriod; ++i)
        EXPECT_EQ(r.bytes[i], 0) << i;
}

TEST(DDSRecordAccess, MultiByteFieldsAreLittleEndianAtAnyOffset) {
    DDSRecord r{};
    r.SetFloat32(DDSOffset::YminValue, 1.5f); // offset 59
    const uint8_t expected[] = {0x00, 0x00, 0xC0, 0x3F};
    EXPECT_EQ(0, std::memcmp(r.bytes + 59, expected, 4));
    EXPECT_EQ(r.bytes[58], 0);
    EXPECT_EQ(r.bytes[63], 0);
    EXPECT_EQ(r.Float32(59), 1.5f);

    r.SetFloat32(CalPageFieldOffset(1, DDSCalPageField::K2), -2.25f); // offset 97
    EXPECT_EQ(r.Float32(97), -2.25f);
    r.SetU16(DDSOffset::WarmUpTime, 0x1234);
    EXPECT_EQ(r.bytes[54], 0x34);
    EXPECT_EQ(r.bytes[55], 0x12);
    EXPECT_EQ(r.U16(DDSOffset::WarmUpTime), 0x1234);
}

class DDSText : public ::testing::Test {
  protected:
    static constexpr size_t kLong = DDSOffset::LongName;
    static constexpr size_t kLongWidth = 20;
    DDSRecord r = MakeFreshRecord();
    char buffer[64];
    void SetUp() override { std::memset(buffer, 'x', sizeof buffer); }
};

TEST_F(DDSText, OverlongTextFillsFieldWithoutTerminator) {
    ASSERT_TRUE(r.SetText(kLong, kLongWidth, "ABCDEFGHIJKLMNOPQRSTUVWXY"));
    EXPECT_EQ(0, std::memcmp(r.bytes + kLong, "ABCDEFGHIJKLMNOPQRST", 20));
    EXPECT_EQ(r.bytes[DDSOffset::ShortName], 0); // neighbour untouched

    ASSERT_TRUE(r.GetText(kLong, kLongWidth, buffer, 64));
    EXPECT_EQ(std::string(buffer), "ABCDEFGHIJKLMNOPQRST");
    for (size_t i = 20; i < 64; ++i)
        ASSERT_EQ(buffer[i], '\0') << i;

    std::memset(buffer, 'x', sizeof buffer);
    ASSERT_TRUE(r.GetText(kLong, kLongWidth, buffer, 8));
    EXPECT_EQ(std::string(buffer), "ABCDEFG");
    EXPECT_EQ(buffer[8], 'x');
}

TEST_F(DDSText, ShorterTextClearsOldContent) {
    r.SetText(kLong, kLongWidth, "a long sensor name");
    r.SetText(kLong, kLongWidth, "pH");
    EXPECT_EQ(0, std::memcmp(r.bytes + kLong, "pH\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 20));
}

TEST_F(DDSText, FullUnitsDoNotRunIntoNextPage) {
    const size_t units = CalPageFieldOffset(0, DDSCalPageField::Units);
    r.SetText(units, 7, "Celsius");
    r.bytes[units + 7] = 'Z'; // first byte of page 1, which is zero in a fresh record
    ASSERT_TRUE(r.GetText(units, 7, buffer, 64));
    EXPECT_EQ(std::string(buffer), "Celsius");
}

TEST_F(DDSText, TinyAndInvalidBuffers) {
    ASSERT_TRUE(r.GetText(CalPageFieldOffset(0, DDSCalPageField::Units), 7, buffer, 1));
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], 'x');

    buffer[0] = 'x';
    EXPECT_FALSE(r.GetText(kLong, kLongWidth, buffer, 0));
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_FALSE(r.GetText(kLong, kLongWidth, nullptr, 8));

    const DDSRecord before = r;
    EXPECT_FALSE(r.SetText(kLong, kLongWidth, nullptr));
    EXPECT_EQ(0, std::memcmp(before.bytes, r.bytes, kDDSRecordSize));
}

TEST(DDSDeviceOrder, ClampsPageIndexAndKeepsLittleEndianBytes) {
    DDSRecord r;
    for (size_t i = 0; i < kDDSRecordSize; ++i)
        r.bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    r.SetU8(DDSOffset::HighestValidCalPageIndex, 1);
    const DDSRecord original = r;
    ConvertFromDeviceOrder(r);
    const uint16_t probe = 1;
    if (*reinterpret_cast<const uint8_t *>(&probe) != 1)
        GTEST_SKIP() << "byte identity holds on little-endian hosts only";
    EXPECT_EQ(0, std::memcmp(original.bytes, r.bytes, kDDSRecordSize));

    r.SetU8(DDSOffset::HighestValidCalPageIndex, 200);
    ConvertFromDeviceOrder(r);
    EXPECT_EQ(r.U8(DDSOffset::HighestValidCalPageIndex), 2);
    r.SetU8(DDSOffset::HighestValidCalPageIndex, 1);
    EXPECT_EQ(0, std::memcmp(original.bytes, r.bytes, kDDSRecordSize));
}

} // namespace
