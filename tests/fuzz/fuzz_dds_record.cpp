// libFuzzer target: data-sheet verification, storing and calibration on
// arbitrary bytes. Input: one mode byte, then up to 128 record bytes (the
// rest zero), then optionally 8 bytes of a voltage.
#include "DDSRecord.h"
#include "FuzzSupport.h"
#include "GMBLSensor.h"
#include "GUtils.h"

#include <cstdlib>
#include <cstring>

namespace {
void Require(bool condition) {
    if (!condition)
        std::abort();
}

void ExerciseTexts(const DDSRecord &record, uint16_t length) {
    char buffer[32];
    const uint16_t bounded = static_cast<uint16_t>(length % (sizeof buffer + 1));
    Require(record.GetText(DDSOffset::LongName, FieldInfo(DDSField::LongName).width, buffer, bounded) ==
            (bounded != 0));
    for (size_t page = 0; page < kDDSCalPageCount; ++page)
        record.GetText(CalPageFieldOffset(page, DDSCalPageField::Units), 7, buffer, bounded);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    fuzz::RouteTraces(data[0] & 2); // format the messages half of the time
    const bool strict = data[0] & 1;
    ++data;
    --size;

    uint8_t bytes[kDDSRecordSize] = {};
    std::memcpy(bytes, data, size < kDDSRecordSize ? size : kDDSRecordSize);
    double volts = 1.25;
    if (size >= kDDSRecordSize + sizeof volts)
        std::memcpy(&volts, data + kDDSRecordSize, sizeof volts);

    uint8_t before[kDDSRecordSize];
    std::memcpy(before, bytes, sizeof bytes);
    const bool accepted = VerifyRecord(bytes, strict);
    Require(std::memcmp(before, bytes, sizeof bytes) == 0);
    if (strict && accepted)
        Require(VerifyRecord(bytes, false));

    GMBLSensor sensor;
    if (accepted) {
        Require(bytes[DDSOffset::HighestValidCalPageIndex] <= 2);
        Require(bytes[DDSOffset::ActiveCalPage] <= bytes[DDSOffset::HighestValidCalPageIndex]);
        sensor.StoreRecord(bytes, true);
    } else {
        // As the host may: any bytes at all, page fields unchecked.
        sensor.StoreRecord(bytes, false);
    }
    Require(sensor.CalibrationPage() < kDDSCalPageCount);
    (void)sensor.Calibrate(volts);
    ExerciseTexts(sensor.Record(), static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)));

    GMBLSensor copy = sensor;
    Require(std::memcmp(copy.Record().bytes, sensor.Record().bytes, kDDSRecordSize) == 0);
    return 0;
}
