#include "SimDataSheet.h"

#include <cstring>

namespace sim {

namespace {

// One row per default channel. Channels 1 and 2 are the two ranges of one
// force sensor, which the host merges into channel 7: a voltage v of 0..5 V
// reads K0 + K1 * v, and both pages of both channels cross zero at 2.5 V.
// Page 1 (the negative side) differs slightly from page 0 so that a test can
// tell which page the host used.
struct DefaultRow {
    int channel;
    const char *longName;
    const char *shortName;
    uint8_t sensorNumber;
    float ymin, ymax;
    float typSamplePeriod;
    uint16_t warmUpTime;
    uint8_t highestPage;
    SimCalPage pages[3];
};

const DefaultRow kDefaults[] = {
    {1,
     "Dual-Range Force 10N",
     "Force10",
     41,
     -10.0f,
     10.0f,
     0.001f,
     0,
     1,
     {{-10.0f, 4.0f, 0.0f, "N"}, {-10.05f, 4.02f, 0.0f, "N"}, {}}},
    {2,
     "Dual-Range Force100N",
     "Force100",
     42,
     -100.0f,
     100.0f,
     0.001f,
     0,
     1,
     {{-100.0f, 40.0f, 0.0f, "N"}, {-100.5f, 40.2f, 0.0f, "N"}, {}}},
    {3,
     "Temperature Probe",
     "Temp",
     43,
     -40.0f,
     125.0f,
     0.5f,
     10,
     1,
     {{-40.0f, 33.0f, 0.0f, "degC"}, {-40.0f, 59.4f, 0.0f, "degF"}, {}}},
    {4,
     "Gas Pressure Sensor",
     "Pressure",
     44,
     0.0f,
     400.0f,
     0.01f,
     1,
     2,
     {{0.0f, 80.0f, 0.0f, "kPa"}, {0.0f, 11.603f, 0.0f, "psi"}, {0.0f, 0.78954f, 0.0f, "atm"}}},
    {5,
     "Light Sensor",
     "Light",
     45,
     0.0f,
     1000.0f,
     0.01f,
     0,
     1,
     {{0.0f, 200.0f, 0.0f, "lux"}, {0.0f, 20.0f, 0.0f, "kilolux"}, {}}},
    {6, "Relative Humidity", "Humidity", 46, 0.0f, 100.0f, 1.0f, 30, 0, {{0.0f, 20.0f, 0.0f, "%RH"}, {}, {}}},
    {7, "Dual-Range Force", "Force", 47, -100.0f, 100.0f, 0.001f, 0, 0, {{-100.0f, 40.0f, 0.0f, "N"}, {}, {}}},
};

void PutU8(DataSheetBytes &record, size_t offset, uint8_t value) {
    record[offset] = value;
}

void PutPage(DataSheetBytes &record, int page, const SimCalPage &cal) {
    const size_t base = dds::PageOffset(page);
    SimDataSheet::PutFloat(record, base + dds::kPageK0, cal.k0);
    SimDataSheet::PutFloat(record, base + dds::kPageK1, cal.k1);
    SimDataSheet::PutFloat(record, base + dds::kPageK2, cal.k2);
    SimDataSheet::PutText(record, base + dds::kPageUnits, dds::kPageUnitsSize, cal.units);
}

} // namespace

DataSheetBytes SimDataSheet::Build(const SimSensorInfo &info) {
    DataSheetBytes r{};
    PutU8(r, dds::kMemMapVersion, info.memMapVersion);
    PutU8(r, dds::kSensorNumber, info.sensorNumber);
    std::memcpy(&r[dds::kSerialNumber], info.serialNumber.data(), 3);
    std::memcpy(&r[dds::kLotCode], info.lotCode.data(), 2);
    PutU8(r, dds::kManufacturerID, info.manufacturerID);
    PutText(r, dds::kLongName, dds::kLongNameSize, info.longName);
    PutText(r, dds::kShortName, dds::kShortNameSize, info.shortName);
    PutU8(r, dds::kUncertainty, info.uncertainty);
    PutU8(r, dds::kSignificantFigures, info.significantFigures);
    PutU8(r, dds::kCurrentRequirement, info.currentRequirement);
    PutU8(r, dds::kAveraging, info.averaging);
    PutFloat(r, dds::kMinSamplePeriod, info.minSamplePeriod);
    PutFloat(r, dds::kTypSamplePeriod, info.typSamplePeriod);
    PutU16(r, dds::kTypNumberofSamples, info.typNumberofSamples);
    PutU16(r, dds::kWarmUpTime, info.warmUpTime);
    PutU8(r, dds::kExperimentType, info.experimentType);
    PutU8(r, dds::kOperationType, info.operationType);
    PutU8(r, dds::kCalibrationEquation, info.calibrationEquation);
    PutFloat(r, dds::kYminValue, info.yminValue);
    PutFloat(r, dds::kYmaxValue, info.ymaxValue);
    PutU8(r, dds::kYscale, info.yscale);
    PutU8(r, dds::kHighestValidCalPageIndex, info.highestValidCalPageIndex);
    PutU8(r, dds::kActiveCalPage, info.activeCalPage);
    for (int page = 0; page < 3; ++page)
        PutPage(r, page, info.pages[static_cast<size_t>(page)]);
    Seal(r);
    return r;
}

SimSensorInfo SimDataSheet::DefaultSensor(int channel) {
    SimSensorInfo info;
    info.sensorNumber = static_cast<uint8_t>(40 + (channel & 0x0F));
    info.serialNumber = {0x10, static_cast<uint8_t>(channel), 0x42};
    info.lotCode = {0x23, 0x14}; // BCD: year 23, week 14
    info.manufacturerID = 1;
    info.uncertainty = 2;
    info.significantFigures = 3;
    info.currentRequirement = static_cast<uint8_t>(5 + (channel & 0x0F));
    info.averaging = 1;
    info.typNumberofSamples = 100;
    info.experimentType = 1;
    info.longName = "Voltage";
    info.shortName = "Volts";
    for (const DefaultRow &row : kDefaults) {
        if (row.channel != channel)
            continue;
        info.sensorNumber = row.sensorNumber;
        info.longName = row.longName;
        info.shortName = row.shortName;
        info.yminValue = row.ymin;
        info.ymaxValue = row.ymax;
        info.typSamplePeriod = row.typSamplePeriod;
        info.warmUpTime = row.warmUpTime;
        info.highestValidCalPageIndex = row.highestPage;
        for (size_t page = 0; page < 3; ++page)
            info.pages[page] = row.pages[page];
    }
    return info;
}

DataSheetBytes SimDataSheet::WithFault(DataSheetBytes record, SheetFault fault) {
    switch (fault) {
    case SheetFault::None:
        break;
    case SheetFault::Blank:
        record.fill(0);
        break;
    case SheetFault::BadChecksum:
        record[dds::kChecksum] = static_cast<uint8_t>(Checksum(record) ^ 0x01);
        break;
    case SheetFault::ComplementedChecksum:
        record[dds::kChecksum] = static_cast<uint8_t>(~Checksum(record));
        break;
    case SheetFault::HighestPageOutOfRange:
        record[dds::kHighestValidCalPageIndex] = 3;
        Seal(record);
        break;
    case SheetFault::ActivePageBeyondHighest:
        record[dds::kHighestValidCalPageIndex] = 1;
        record[dds::kActiveCalPage] = 2;
        Seal(record);
        break;
    }
    return record;
}

uint8_t SimDataSheet::Checksum(const DataSheetBytes &record) {
    uint8_t x = 0;
    for (size_t i = 0; i < dds::kChecksum; ++i)
        x = static_cast<uint8_t>(x ^ record[i]);
    return x;
}

void SimDataSheet::Seal(DataSheetBytes &record) {
    record[dds::kChecksum] = Checksum(record);
}

float SimDataSheet::GetFloat(const DataSheetBytes &record, size_t offset) {
    uint32_t bits = 0;
    for (size_t i = 0; i < 4; ++i)
        bits |= static_cast<uint32_t>(record[offset + i]) << (8 * i);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void SimDataSheet::PutFloat(DataSheetBytes &record, size_t offset, float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (size_t i = 0; i < 4; ++i)
        record[offset + i] = static_cast<uint8_t>(bits >> (8 * i));
}

uint16_t SimDataSheet::GetU16(const DataSheetBytes &record, size_t offset) {
    return static_cast<uint16_t>(record[offset] | (record[offset + 1] << 8));
}

void SimDataSheet::PutU16(DataSheetBytes &record, size_t offset, uint16_t value) {
    record[offset] = static_cast<uint8_t>(value);
    record[offset + 1] = static_cast<uint8_t>(value >> 8);
}

std::string SimDataSheet::GetText(const DataSheetBytes &record, size_t offset, size_t size) {
    size_t n = 0;
    while (n < size && record[offset + n] != 0)
        ++n;
    return std::string(reinterpret_cast<const char *>(&record[offset]), n);
}

void SimDataSheet::PutText(DataSheetBytes &record, size_t offset, size_t size, const std::string &text) {
    for (size_t i = 0; i < size; ++i)
        record[offset + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : 0;
}

} // namespace sim
