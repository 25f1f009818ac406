// One sensor channel: the holder of its data sheet, and the calibration that
// turns a voltage into the sensor's units with the active page.
#pragma once

#include "DDSRecord.h"

#include <array>
#include <cstddef>
#include <cstdint>

// The only equation code with a formula: K0 + K1 * v.
constexpr uint8_t kLinearCalibrationEquation = 1;

// Decides whether a record read from the device may be kept. Strict mode
// wants a matching checksum on a record that is not one repeated byte;
// lenient mode also takes the complemented or bit-reversed checksum, and
// otherwise a plausible BCD LotCode. Both modes check the page indices. A
// rejection writes one severity-10 trace line saying why; the buffer is never
// changed. A null buffer is rejected without a trace.
bool VerifyRecord(const uint8_t *bytes, bool strict);

class GMBLSensor {
  public:
    GMBLSensor();
    virtual ~GMBLSensor();
    GMBLSensor(const GMBLSensor &) = default;
    GMBLSensor &operator=(const GMBLSensor &) = default;

    // Replaces the record with 128 bytes. fromDevice: the bytes were read
    // from the device and passed VerifyRecord, so they are turned into host
    // order (ConvertFromDeviceOrder); otherwise they are kept byte for byte.
    // False, record unchanged, only for a null pointer.
    bool StoreRecord(const uint8_t *bytes, bool fromDevice);

    // K0 + K1 * volts with the coefficients of the calibration page in use,
    // in double precision; volts unchanged for any equation code but the
    // linear one. Runs once per sample: no allocation, no lock.
    double Calibrate(double volts) const;

    // The page Calibrate uses: ActiveCalPage when it is at most
    // HighestValidCalPageIndex and names one of the three pages, otherwise 0.
    size_t CalibrationPage() const;

    const DDSRecord &Record() const { return m_record; }
    // The export layer changes fields in place; nothing re-verifies them or
    // recomputes the checksum.
    DDSRecord &Record() { return m_record; }

  private:
    DDSRecord m_record;
};

// The sensors of one open device, indexed by channel number.
constexpr size_t kSensorTableSize = 8;
using SensorTable = std::array<GMBLSensor, kSensorTableSize>;

// The channel's sensor, or null when the channel is outside the table.
GMBLSensor *SensorAt(SensorTable &table, int channel);
const GMBLSensor *SensorAt(const SensorTable &table, int channel);
