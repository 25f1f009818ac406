// An open device: the record behind a device handle.
#pragma once

#include "GMBLSensor.h"

#include <cstdint>
#include <memory>

class COstrelLibrary;
class GMBLCrashTestDummySource;
class GDeviceIO;

class COstrelDevice {
public:
    // Creates the source (8 channels) and 8 fresh sensors, and takes the next
    // open serial number (0 when the device-list mutex is not had in time).
    explicit COstrelDevice(COstrelLibrary &library);
    // Destroys the source, which closes the link and ends its reader, then
    // the sensors.
    ~COstrelDevice();
    COstrelDevice(const COstrelDevice &) = delete;
    COstrelDevice &operator=(const COstrelDevice &) = delete;

    // The source's byte-stream device, or null.
    GDeviceIO *Device() const;
    // The sensor of a channel, or null outside the table.
    GMBLSensor *Sensor(int32_t channel);

    std::unique_ptr<GMBLCrashTestDummySource> m_source;
    SensorTable m_sensors;
    int32_t m_openSerial = 0;
    int32_t m_deviceType;
};
