#include "GMBLSensor.h"

#include "TraceCapture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// The message of a trace line from the sensor module, without its
// "GMBLSensor.cpp(line) : " prefix; empty when the prefix is not there.
std::wstring SensorMessage(const std::wstring &line) {
    const std::wstring module = L"GMBLSensor.cpp(";
    const size_t close = line.find(L") : ");
    if (line.compare(0, module.size(), module) != 0 || close == std::wstring::npos || close == module.size())
        return L"";
    for (size_t i = module.size(); i < close; ++i)
        if (line[i] < L'0' || line[i] > L'9')
            return L"";
    return line.substr(close + 4);
}

struct Verified {
    bool accepted;
    std::vector<std::wstring> lines;
};

Verified Verify(const DDSRecord &record, bool strict) {
    TraceCapture capture;
    DDSRecord copy = record;
    const bool accepted = VerifyRecord(copy.bytes, strict);
    EXPECT_EQ(0, std::memcmp(copy.bytes, record.bytes, kDDSRecordSize)) << "buffer changed";
    return {accepted, capture.Lines()};
}

DDSRecord Filled(uint8_t value) {
    DDSRecord r;
    std::memset(r.bytes, value, kDDSRecordSize);
    return r;
}

void Seal(DDSRecord &r) {
    r.SetU8(DDSOffset::Checksum, ComputeChecksum(r));
}

TEST(DDSVerify, AllZeroRecordPassesOnlyLeniently) {
    const Verified strict = Verify(Filled(0x00), true);
    EXPECT_FALSE(strict.accepted);
    ASSERT_EQ(strict.lines.size(), 1u);
    EXPECT_EQ(SensorMessage(strict.lines[0]),
              L"DDS CHECKSUM FAILED\nmy checksum value : 0x0\nSensors's checksum value : 0x0\n\n");

    const Verified lenient = Verify(Filled(0x00), false);
    EXPECT_TRUE(lenient.accepted);
    EXPECT_TRUE(lenient.lines.empty());
}

TEST(DDSVerify, AllOnesRecordFailsBothModes) {
    for (bool strict : {true, false}) {
        const Verified v = Verify(Filled(0xFF), strict);
        EXPECT_FALSE(v.accepted);
        ASSERT_EQ(v.lines.size(), 1u);
        EXPECT_EQ(SensorMessage(v.lines[0]),
                  L"DDS CHECKSUM FAILED\nmy checksum value : 0xff\nSensors's checksum value : 0xff\n\n");
    }
}

TEST(DDSVerify, ComplementAndReversedChecksumsOnlyLenient) {
    DDSRecord r{};
    r.bytes[DDSOffset::LotCode] = 0xA0; // implausible lot code: no fall-back
    r.bytes[DDSOffset::LotCode + 1] = 0xA1;
    ASSERT_EQ(ComputeChecksum(r), 0x01);
    const struct {
        uint8_t stored;
        bool strict, lenient;
    } cases[] = {{0x01, true, true}, {0xFE, false, true}, {0x80, false, true}, {0x02, false, false}};
    for (const auto &c : cases) {
        r.SetU8(DDSOffset::Checksum, c.stored);
        EXPECT_EQ(Verify(r, true).accepted, c.strict) << int{c.stored};
        EXPECT_EQ(Verify(r, false).accepted, c.lenient) << int{c.stored};
    }
}

TEST(DDSVerify, LenientLotCodeFallBack) {
    const struct {
        uint8_t first, second;
        bool accepted;
    } cases[] = {{0x12, 0x34, true},  {0x99, 0x59, true},  {0x00, 0x00, true}, {0x12, 0x60, false},
                 {0xA0, 0x01, false}, {0x1A, 0x00, false}, {0x00, 0x5A, false}};
    for (const auto &c : cases) {
        DDSRecord r = MakeFreshRecord();
        r.bytes[DDSOffset::LotCode] = c.first;
        r.bytes[DDSOffset::LotCode + 1] = c.second;
        r.SetU8(DDSOffset::Checksum, static_cast<uint8_t>(ComputeChecksum(r) ^ 0x5A)); // matches in no way
        EXPECT_EQ(Verify(r, false).accepted, c.accepted) << std::hex << int{c.first} << " " << int{c.second};
        EXPECT_FALSE(Verify(r, true).accepted);
    }
}

TEST(DDSVerify, PageIndicesCheckedInBothModes) {
    DDSRecord r = MakeFreshRecord();
    r.SetU8(DDSOffset::HighestValidCalPageIndex, 3);
    Seal(r);
    for (bool strict : {true, false}) {
        const Verified v = Verify(r, strict);
        EXPECT_FALSE(v.accepted);
        ASSERT_EQ(v.lines.size(), 1u);
        EXPECT_EQ(SensorMessage(v.lines[0]), L"DDS ERROR: HighestValidCalPageIndex = 3\n\n");
    }

    r.SetU8(DDSOffset::HighestValidCalPageIndex, 1);
    r.SetU8(DDSOffset::ActiveCalPage, 2);
    Seal(r);
    for (bool strict : {true, false}) {
        const Verified v = Verify(r, strict);
        EXPECT_FALSE(v.accepted);
        ASSERT_EQ(v.lines.size(), 1u);
        EXPECT_EQ(SensorMessage(v.lines[0]), L"DDS ERROR: HighestValidCalPageIndex = 1 ; ActiveCalPage = 2\n\n");
    }

    r.SetU8(DDSOffset::HighestValidCalPageIndex, 2);
    Seal(r);
    EXPECT_TRUE(Verify(r, true).accepted);
}

TEST(DDSVerify, FreshRecordStrictlyValidAndSilentAboveThreshold) {
    EXPECT_TRUE(Verify(GMBLSensor().Record(), true).accepted);
    EXPECT_FALSE(VerifyRecord(nullptr, false));

    TraceCapture quiet(11);
    EXPECT_FALSE(VerifyRecord(Filled(0).bytes, true));
    EXPECT_TRUE(quiet.Lines().empty());
}

TEST(GMBLSensorStore, DeviceOrderOnlyFromDevice) {
    DDSRecord r = MakeFreshRecord();
    r.SetU8(DDSOffset::HighestValidCalPageIndex, 5);
    GMBLSensor sensor;
    ASSERT_TRUE(sensor.StoreRecord(r.bytes, false));
    EXPECT_EQ(0, std::memcmp(sensor.Record().bytes, r.bytes, kDDSRecordSize));

    ASSERT_TRUE(sensor.StoreRecord(r.bytes, true));
    EXPECT_EQ(sensor.Record().U8(DDSOffset::HighestValidCalPageIndex), 2);
    EXPECT_EQ(sensor.Record().Float32(CalPageFieldOffset(2, DDSCalPageField::K1)), 1.0f);

    EXPECT_FALSE(sensor.StoreRecord(nullptr, true));
    EXPECT_EQ(sensor.Record().U8(DDSOffset::HighestValidCalPageIndex), 2);
}

class GMBLSensorCalibrate : public ::testing::Test {
  protected:
    GMBLSensor sensor;
    DDSRecord &r = sensor.Record();
    void SetPage(size_t page, float k0, float k1) {
        r.SetFloat32(CalPageFieldOffset(page, DDSCalPageField::K0), k0);
        r.SetFloat32(CalPageFieldOffset(page, DDSCalPageField::K1), k1);
    }
    void SetPages(uint8_t highest, uint8_t active) {
        r.SetU8(DDSOffset::HighestValidCalPageIndex, highest);
        r.SetU8(DDSOffset::ActiveCalPage, active);
    }
};

TEST_F(GMBLSensorCalibrate, FreshSensorIsIdentity) {
    for (double v : {-3.5, 0.0, 2.5, 1e6})
        EXPECT_EQ(sensor.Calibrate(v), v);
}

TEST_F(GMBLSensorCalibrate, LinearEquationInDoublePrecision) {
    SetPage(0, -10.0f, 4.0f);
    EXPECT_EQ(sensor.Calibrate(2.5), 0.0);
    EXPECT_EQ(sensor.Calibrate(5.0), 10.0);
    SetPage(0, 0.0f, 0.1f);
    EXPECT_EQ(sensor.Calibrate(3.0), 3.0 * static_cast<double>(0.1f));
}

TEST_F(GMBLSensorCalibrate, OtherEquationsReturnInput) {
    SetPage(0, -10.0f, 4.0f);
    for (uint8_t equation : {0, 2, 255}) {
        r.SetU8(DDSOffset::CalibrationEquation, equation);
        EXPECT_EQ(sensor.Calibrate(2.5), 2.5) << int{equation};
    }
}

TEST_F(GMBLSensorCalibrate, PageChoiceAndFallBacks) {
    SetPage(0, 1.0f, 1.0f);
    SetPage(1, 2.0f, 1.0f);
    SetPage(2, 3.0f, 1.0f);
    SetPages(2, 1);
    EXPECT_EQ(sensor.Calibrate(0.0), 2.0);
    SetPages(2, 2);
    EXPECT_EQ(sensor.Calibrate(0.0), 3.0);
    SetPages(1, 2); // active beyond the last valid page
    EXPECT_EQ(sensor.Calibrate(0.0), 1.0);
    SetPages(9, 5); // in order, but past the three pages
    EXPECT_EQ(sensor.CalibrationPage(), 0u);
    EXPECT_EQ(sensor.Calibrate(0.0), 1.0);
}

TEST_F(GMBLSensorCalibrate, CopiesAreIndependent) {
    SetPage(0, 5.0f, 1.0f);
    GMBLSensor copy = sensor;
    EXPECT_EQ(copy.Calibrate(0.0), 5.0);
    copy.Record().SetFloat32(CalPageFieldOffset(0, DDSCalPageField::K0), 7.0f);
    EXPECT_EQ(sensor.Calibrate(0.0), 5.0);
    sensor = copy;
    EXPECT_EQ(sensor.Calibrate(0.0), 7.0);
}

TEST(SensorTable, ChannelLookupStaysInside) {
    SensorTable table;
    EXPECT_EQ(SensorAt(table, -1), nullptr);
    EXPECT_EQ(SensorAt(table, 8), nullptr);
    ASSERT_EQ(SensorAt(table, 7), &table[7]);
    EXPECT_EQ(table[0].Record().U8(DDSOffset::Checksum), 0xDC);
}

} // namespace
