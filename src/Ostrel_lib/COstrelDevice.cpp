#include "COstrelDevice.h"

#include "COstrelLibrary.h"
#include "GDeviceIO.h"
#include "GMBLCrashTestDummySource.h"

namespace {
constexpr int32_t kDeviceChannels = 8;
} // namespace

COstrelDevice::COstrelDevice(COstrelLibrary &library)
    : m_source(std::make_unique<GMBLCrashTestDummySource>()), m_deviceType(kDeviceTypeCode) {
    m_source->m_numChannels = kDeviceChannels;
    DeviceListLock lock(&library, kDeviceListWaitMs);
    if (lock.Locked())
        m_openSerial = library.m_nextOpenSerial++;
}

COstrelDevice::~COstrelDevice() = default;

GDeviceIO *COstrelDevice::Device() const {
    return m_source ? m_source->GetDevice() : nullptr;
}

GMBLSensor *COstrelDevice::Sensor(int32_t channel) {
    return SensorAt(m_sensors, channel);
}
