// A sensor's data sheet as the tool shows it: every field, read through the
// library's accessors (DataSheetReader), and the two questions a user asks of
// it: which units do calibrated values come in, and does the checksum hold.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ostrel_tool {

struct CalPageView {
    float k0 = 0;
    float k1 = 1;
    float k2 = 0;
    std::string units;
};

struct DataSheetView {
    int channel = 0;
    uint8_t memMapVersion = 0;
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
    float minSamplePeriod = 0;
    float typSamplePeriod = 0;
    uint16_t typNumberofSamples = 0;
    uint16_t warmUpTime = 0;
    uint8_t experimentType = 0;
    uint8_t operationType = 0;
    uint8_t calibrationEquation = 0;
    float yminValue = 0;
    float ymaxValue = 0;
    uint8_t yscale = 0;
    uint8_t highestValidCalPageIndex = 0;
    uint8_t activeCalPage = 0;
    std::array<CalPageView, 3> pages{};
    uint8_t checksum = 0;         // byte 127 as stored
    uint8_t computedChecksum = 0; // what the bytes 0-126 give

    bool ChecksumHolds() const { return checksum == computedChecksum; }

    // The page the library calibrates with: the active one while it is within
    // the valid pages, page 0 otherwise.
    int CalibrationPage() const;
    // Units of calibrated values: the calibration page's text, or "V" when the
    // equation is not the linear one (the library then returns volts as they are).
    std::string CalibratedUnits() const;
    // "Temp", else the long name, else "channel N".
    std::string DisplayName() const;
};

// "Temp (degC)" or "Temp (raw)": a column or axis label.
std::string ValueLabel(const DataSheetView &sheet, bool raw);

// What `info` prints for a channel, one line each, without indentation.
std::vector<std::string> SummaryLines(const DataSheetView &sheet);

// Every field as (name, value), in record order, for `dds`.
std::vector<std::pair<std::string, std::string>> FieldLines(const DataSheetView &sheet);

} // namespace ostrel_tool
