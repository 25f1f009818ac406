// The per-device working exports: commands and responses, the measurement
// period, buffered measurements and their conversion, the channel range and
// the non-volatile memory blocks.
#include "Ostrel_lib.h"

#include "GMBLCrashTestDummySource.h"
#include "Ostrel_lib_interface.h"

namespace {
constexpr double kMeasurementTick = 0.001;
constexpr double kMinimumMeasurementPeriod = 0.001;
constexpr double kMaximumMeasurementPeriod = 65.535;
// The period the exports ask and set is that of channel 1 (the unit has one).
constexpr int32_t kPeriodChannel = 1;
// What Ostrel_Device_GetMeasurementPeriod stores when the guard fails.
constexpr double kPeriodWhenRefused = 1.0;
constexpr int32_t kFirstSensorChannel = 3;
constexpr int32_t kLastSensorChannel = 7;
constexpr int32_t kUnitMemoryBlock = -1;
// The fixed further arguments of the source's conversion.
constexpr int32_t kConvertArgA = 2;
constexpr int32_t kConvertArgB = 1;

GMBLCrashTestDummySource &Source(COstrelDevice &device) {
    return *device.m_source;
}

uint8_t Block(int block) {
    return static_cast<uint8_t>(block & 0xFF);
}

// The calibration exports' checks that precede the sensor: type 6, a sensor
// channel inside the table.
GMBLSensor *CalibrationSensor(COstrelDevice &device, int channel) {
    const int32_t ch = LowByteSigned(channel);
    if (device.m_deviceType != kDeviceTypeCode || ch < kFirstSensorChannel || ch > kLastSensorChannel)
        return nullptr;
    return device.Sensor(ch);
}

double Voltage(COstrelDevice &device, int channel, int raw) {
    return Source(device).ConvertToVoltage(raw, LowByteSigned(channel), kConvertArgA, kConvertArgB);
}
} // namespace

extern "C" {

int OSTREL_CALL Ostrel_Device_SendCmd(OstrelDevice handle, int cmd, const unsigned char *params, int nParams,
                                      int *signature) {
    return Guarded(handle, [&](COstrelDevice &device) {
        return Source(device).SendCmd(static_cast<uint8_t>(cmd), params, nParams, signature);
    });
}

int OSTREL_CALL Ostrel_Device_SendCmdAndGetResponse(OstrelDevice handle, int cmd, const unsigned char *params,
                                                    int nParams, unsigned char *response, int *responseSize,
                                                    unsigned int timeoutMs) {
    return Guarded(
        handle,
        [&](COstrelDevice &device) {
            return Source(device).SendCmdAndGetResponse(static_cast<uint8_t>(cmd), params, nParams, response,
                                                        responseSize, timeoutMs, nullptr);
        },
        [&] {
            if (responseSize != nullptr)
                *responseSize = 0;
        });
}

int OSTREL_CALL Ostrel_Device_GetNextResponse(OstrelDevice handle, unsigned char *response, int *responseSize,
                                              unsigned char *cmdEcho, unsigned char *errorFlag,
                                              const int *expectedSignature, unsigned int timeoutMs) {
    if (cmdEcho == nullptr || errorFlag == nullptr)
        return -1;
    return Guarded(
        handle,
        [&](COstrelDevice &device) {
            uint8_t error = 0;
            const int32_t result = Source(device).GetNextResponse(response, responseSize, cmdEcho, &error,
                                                                  expectedSignature, timeoutMs, nullptr);
            *errorFlag = error != 0 ? 1 : 0;
            return result;
        },
        [&] {
            if (responseSize != nullptr)
                *responseSize = 0;
        });
}

int OSTREL_CALL Ostrel_Device_ClearIO(OstrelDevice handle, int channel) {
    return Guarded(handle,
                   [&](COstrelDevice &device) { return Source(device).ClearMeasurements(LowByteSigned(channel)); });
}

int OSTREL_CALL Ostrel_Device_SetMeasurementPeriod(OstrelDevice handle, double seconds, unsigned int timeoutMs) {
    return Guarded(handle, [&](COstrelDevice &device) {
        return Source(device).SetMeasurementPeriod(seconds, kPeriodChannel, timeoutMs);
    });
}

int OSTREL_CALL Ostrel_Device_GetMeasurementPeriod(OstrelDevice handle, double *seconds, unsigned int timeoutMs) {
    if (seconds == nullptr)
        return -1;
    return Guarded(
        handle,
        [&](COstrelDevice &device) {
            *seconds = Source(device).GetMeasurementPeriod(kPeriodChannel, timeoutMs);
            return 0;
        },
        [&] { *seconds = kPeriodWhenRefused; });
}

double OSTREL_CALL Ostrel_Device_GetMeasurementTick(OstrelDevice) {
    return kMeasurementTick;
}

double OSTREL_CALL Ostrel_Device_GetMinimumMeasurementPeriod(OstrelDevice) {
    return kMinimumMeasurementPeriod;
}

double OSTREL_CALL Ostrel_Device_GetMaximumMeasurementPeriod(OstrelDevice) {
    return kMaximumMeasurementPeriod;
}

int OSTREL_CALL Ostrel_Device_GetNumMeasurementsAvailable(OstrelDevice handle, int channel) {
    return Guarded(handle, [&](COstrelDevice &device) {
        return Source(device).GetNumMeasurementsAvailable(LowByteSigned(channel));
    });
}

int OSTREL_CALL Ostrel_Device_ReadRawMeasurements(OstrelDevice handle, int channel, int *values, int maxCount) {
    if (values == nullptr && maxCount > 0)
        return -1;
    return Guarded(handle, [&](COstrelDevice &device) {
        int32_t count = 0;
        const int32_t result = Source(device).ReadRawMeasurements(LowByteSigned(channel), values, 0, maxCount, &count);
        return result >= 0 ? count : result;
    });
}

int OSTREL_CALL Ostrel_Device_GetLatestRawMeasurement(OstrelDevice handle, int channel) {
    return Guarded(handle, [&](COstrelDevice &device) {
        return Source(device).GetLatestRawMeasurement(LowByteSigned(channel));
    });
}

double OSTREL_CALL Ostrel_Device_ConvertToVoltage(OstrelDevice handle, int channel, int raw) {
    return CallSafely(0.0, [&] {
        return WithLiveDevice(handle, [&](COstrelDevice &device) {
            if (device.m_deviceType != kDeviceTypeCode || !device.m_source)
                return 0.0;
            return Voltage(device, channel, raw);
        });
    });
}

double OSTREL_CALL Ostrel_Device_CalibrateData(OstrelDevice handle, int channel, double volts) {
    return CallSafely(0.0, [&] {
        return WithLiveDevice(handle, [&](COstrelDevice &device) {
            const GMBLSensor *sensor = CalibrationSensor(device, channel);
            return sensor != nullptr ? sensor->Calibrate(volts) : 0.0;
        });
    });
}

double OSTREL_CALL Ostrel_Device_CalibrateData2(OstrelDevice handle, int channel, int raw) {
    return CallSafely(0.0, [&] {
        return WithLiveDevice(handle, [&](COstrelDevice &device) {
            const GMBLSensor *sensor = CalibrationSensor(device, channel);
            if (sensor == nullptr || !device.m_source)
                return 0.0;
            return sensor->Calibrate(Voltage(device, channel, raw));
        });
    });
}

int OSTREL_CALL Ostrel_Device_GetChannelRange(OstrelDevice handle, int *first, int *last) {
    if (first == nullptr || last == nullptr)
        return -1;
    return Guarded(handle, [&](COstrelDevice &device) {
        const bool product = device.m_deviceType == kDeviceTypeCode;
        *first = product ? kFirstSensorChannel : 0;
        *last = product ? kLastSensorChannel : 0;
        return 0;
    });
}

int OSTREL_CALL Ostrel_Device_NVMemBlk_GetAddrRange(OstrelDevice handle, int block, int *firstAddress,
                                                    int *lastAddress) {
    if (firstAddress == nullptr || lastAddress == nullptr)
        return -1;
    *firstAddress = 0;
    *lastAddress = 0;
    return Guarded(handle, [&](COstrelDevice &device) {
        if (device.m_deviceType != kDeviceTypeCode || !device.m_source)
            return -1;
        *lastAddress = Source(device).GetNVMemAddrRange(LowByteSigned(block));
        return 0;
    });
}

int OSTREL_CALL Ostrel_Device_NVMemBlk_Read(OstrelDevice handle, int block, unsigned char *dst, int address, int count,
                                            unsigned int timeoutMs) {
    if (dst == nullptr && count > 0)
        return -1;
    return Guarded(handle, [&](COstrelDevice &device) {
        return Source(device).ReadNonVolatileMemory(Block(block), dst, static_cast<uint32_t>(address), count,
                                                    timeoutMs, nullptr);
    });
}

int OSTREL_CALL Ostrel_Device_NVMemBlk_Write(OstrelDevice handle, int block, const unsigned char *src, int address,
                                             int count, unsigned int timeoutMs) {
    if (src == nullptr && count > 0)
        return -1;
    return Guarded(handle, [&](COstrelDevice &device) {
        // Only the unit's own memory can be written; data sheets cannot.
        if (LowByteSigned(block) != kUnitMemoryBlock)
            return -1;
        return Source(device).WriteNonVolatileMemory(Block(kUnitMemoryBlock), src, static_cast<uint32_t>(address),
                                                     count, timeoutMs, nullptr);
    });
}

} // extern "C"
