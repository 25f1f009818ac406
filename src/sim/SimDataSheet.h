// Builds the 128-byte data-sheet records that a simulated unit serves from its
// sensor blocks 1 to 7. Written from the record layout alone (no host code), so
// that a layout mistake on the host side shows up against these bytes.
//
// Every multi-byte field is little-endian and written byte by byte (several
// floats sit at odd offsets); floats are IEEE-754 single precision. Byte 127
// is the XOR of bytes 0 to 126.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

using DataSheetBytes = std::array<uint8_t, 128>;

// Byte offsets of the record's fields.
namespace dds {
constexpr size_t kMemMapVersion = 0;
constexpr size_t kSensorNumber = 1;
constexpr size_t kSerialNumber = 2; // 3 bytes
constexpr size_t kLotCode = 5;      // 2 bytes, BCD
constexpr size_t kManufacturerID = 7;
constexpr size_t kLongName = 8; // 20 chars
constexpr size_t kLongNameSize = 20;
constexpr size_t kShortName = 28; // 12 chars
constexpr size_t kShortNameSize = 12;
constexpr size_t kUncertainty = 40;
constexpr size_t kSignificantFigures = 41;
constexpr size_t kCurrentRequirement = 42;
constexpr size_t kAveraging = 43;
constexpr size_t kMinSamplePeriod = 44;    // float
constexpr size_t kTypSamplePeriod = 48;    // float
constexpr size_t kTypNumberofSamples = 52; // u16
constexpr size_t kWarmUpTime = 54;         // u16
constexpr size_t kExperimentType = 56;
constexpr size_t kOperationType = 57;
constexpr size_t kCalibrationEquation = 58;
constexpr size_t kYminValue = 59; // float, odd offset
constexpr size_t kYmaxValue = 63; // float, odd offset
constexpr size_t kYscale = 67;
constexpr size_t kHighestValidCalPageIndex = 68;
constexpr size_t kActiveCalPage = 69;
constexpr size_t kCalPages = 70; // 3 pages of 19 bytes
constexpr size_t kCalPageSize = 19;
constexpr size_t kPageK0 = 0;     // float, within a page
constexpr size_t kPageK1 = 4;     // float
constexpr size_t kPageK2 = 8;     // float
constexpr size_t kPageUnits = 12; // 7 chars
constexpr size_t kPageUnitsSize = 7;
constexpr size_t kChecksum = 127;

constexpr size_t PageOffset(int page) {
    return kCalPages + kCalPageSize * static_cast<size_t>(page);
}
} // namespace dds

struct SimCalPage {
    float k0 = 0.0f;
    float k1 = 1.0f;
    float k2 = 0.0f;
    std::string units = "Volts"; // cut to 7 characters, zero-padded
};

// The content of one record, field by field. Texts longer than their field are
// cut; a text that fills its field has no terminating zero.
struct SimSensorInfo {
    uint8_t memMapVersion = 1;
    uint8_t sensorNumber = 0;
    std::array<uint8_t, 3> serialNumber{};
    std::array<uint8_t, 2> lotCode{};
    uint8_t manufacturerID = 0;
    std::string longName;
    std::string shortName;
    uint8_t uncertainty = 0;
    uint8_t significantFigures = 0;
    uint8_t currentRequirement = 0;
    uint8_t averaging = 0;
    float minSamplePeriod = 0.001f;
    float typSamplePeriod = 0.001f;
    uint16_t typNumberofSamples = 0;
    uint16_t warmUpTime = 0;
    uint8_t experimentType = 0;
    uint8_t operationType = 14;
    uint8_t calibrationEquation = 1;
    float yminValue = 0.0f;
    float ymaxValue = 1000.0f;
    uint8_t yscale = 0;
    uint8_t highestValidCalPageIndex = 0;
    uint8_t activeCalPage = 0;
    std::array<SimCalPage, 3> pages{};
};

// Ways to spoil a record, for the tests of the host's verification.
enum class SheetFault {
    None,
    Blank,                   // 128 zero bytes (its XOR matches, but every byte is equal)
    BadChecksum,             // byte 127 = XOR ^ 0x01: neither the XOR, its complement nor its bit reversal
    ComplementedChecksum,    // byte 127 = ~XOR (accepted only by a lenient check)
    HighestPageOutOfRange,   // HighestValidCalPageIndex 3, checksum valid
    ActivePageBeyondHighest, // HighestValidCalPageIndex 1, ActiveCalPage 2, checksum valid
};

class SimDataSheet {
  public:
    static constexpr int kFirstChannel = 1;
    static constexpr int kLastChannel = 7;

    // The record of `info`, checksum included.
    static DataSheetBytes Build(const SimSensorInfo &info);

    // The default sensor of channels 1 to 7 (see SimDataSheet.cpp for the
    // table); any other channel gets a neutral sensor (K0 0, K1 1, "Volts").
    static SimSensorInfo DefaultSensor(int channel);
    static DataSheetBytes Default(int channel) { return Build(DefaultSensor(channel)); }

    static DataSheetBytes WithFault(DataSheetBytes record, SheetFault fault);

    static uint8_t Checksum(const DataSheetBytes &record); // XOR of bytes 0..126
    static void Seal(DataSheetBytes &record);              // stores Checksum() in byte 127
    static bool ChecksumValid(const DataSheetBytes &record) { return record[dds::kChecksum] == Checksum(record); }

    static float GetFloat(const DataSheetBytes &record, size_t offset);
    static void PutFloat(DataSheetBytes &record, size_t offset, float value);
    static uint16_t GetU16(const DataSheetBytes &record, size_t offset);
    static void PutU16(DataSheetBytes &record, size_t offset, uint16_t value);
    static std::string GetText(const DataSheetBytes &record, size_t offset, size_t size);
    static void PutText(DataSheetBytes &record, size_t offset, size_t size, const std::string &text);
};

} // namespace sim
