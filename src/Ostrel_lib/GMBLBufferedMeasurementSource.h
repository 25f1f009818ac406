// A source that buffers measurements per channel: the command exchange, the
// measurement period, the channel rings and non-volatile memory, as pure or
// default operations (positions 82 to 105) that GMBLBlobSource implements.
#pragma once

#include "GMBLSource.h"

#include <cstdint>
#include <vector>

class GMBLBufferedMeasurementSource : public GMBLSource {
  public:
    GMBLBufferedMeasurementSource() = default;
    ~GMBLBufferedMeasurementSource() override = default;

    bool IsMeasuring() override { return m_measuring; } // 16
    // The minimum measurement period of channel 1.
    double Op30(int32_t, int32_t, int32_t, int32_t) override; // 30

    // Command exchange. Optional arguments are null pointers when absent.
    virtual int32_t SendCmd(uint8_t cmd, const uint8_t *params, int32_t nParams, int32_t *outSignature) = 0; // 82
    virtual int32_t GetNextResponse(uint8_t *dst, int32_t *inOutSize, uint8_t *outCmd, uint8_t *outErrorFlag,
                                    const int32_t *expectedSignature, uint32_t timeoutMs,
                                    const bool *stopFlag) = 0; // 83
    virtual int32_t SendCmdAndGetResponse(uint8_t cmd, const uint8_t *params, int32_t nParams, uint8_t *dst,
                                          int32_t *inOutSize, uint32_t timeoutMs, const bool *stopFlag) = 0; // 84

    // Measurement period, in seconds.
    virtual double GetMeasurementTick() = 0;                                                       // 85
    virtual double QuantiseMeasurementPeriod(double seconds, int32_t channel);                     // 86
    virtual int32_t SetMeasurementPeriod(double seconds, int32_t channel, uint32_t timeoutMs) = 0; // 87
    virtual double GetMeasurementPeriod(int32_t channel, uint32_t timeoutMs) = 0;                  // 88
    virtual double GetMinimumMeasurementPeriod(int32_t channel) = 0;                               // 89
    virtual double GetMaximumMeasurementPeriod(int32_t channel) = 0;                               // 90

    // Buffered measurements.
    virtual int32_t GetNumMeasurementsAvailable(int32_t channel) = 0;      // 91
    virtual int32_t Op92(int32_t, int32_t, int32_t, int32_t) { return 0; } // 92
    virtual std::vector<int32_t> &ReadMeasurementsToList(std::vector<int32_t> &outList, int32_t channel,
                                                         int32_t maxCount) = 0; // 93
    virtual int32_t GetLatestRawMeasurement(int32_t channel) = 0;               // 94
    virtual int32_t ClearIO() = 0;                                              // 95
    virtual int32_t ClearMeasurements(int32_t channel) = 0;                     // 96
    virtual int32_t ClearResponses() = 0;                                       // 97

    // Non-volatile memory blocks.
    virtual int32_t ReadNonVolatileMemory(uint8_t block, uint8_t *dst, uint32_t address, int32_t nBytes,
                                          uint32_t timeoutMs, const bool *stopFlag) { // 98
        (void)block, (void)dst, (void)address, (void)nBytes, (void)timeoutMs, (void)stopFlag;
        return -1;
    }
    virtual int32_t WriteNonVolatileMemory(uint8_t block, const uint8_t *src, uint32_t address, int32_t nBytes,
                                           uint32_t timeoutMs, const bool *stopFlag) { // 99
        (void)block, (void)src, (void)address, (void)nBytes, (void)timeoutMs, (void)stopFlag;
        return -1;
    }
    // Highest valid address of a block; 0 for a block that does not exist.
    virtual int32_t GetNVMemAddrRange(int32_t block) { // 100
        (void)block;
        return 0;
    }
    virtual int32_t Op101(int32_t, int32_t, int32_t) { return -1; } // 101
    virtual int32_t Op102() { return 0; }                           // 102
    virtual int32_t Op103(int32_t, int32_t, int32_t) { return -1; } // 103

    // Volts of a raw value; a and b are passed through for overrides.
    virtual double ConvertToVoltage(int32_t raw, int32_t channel, int32_t a, int32_t b) { // 104
        (void)raw, (void)channel, (void)a, (void)b;
        return 0.0;
    }
    virtual int32_t ReadRawMeasurements(int32_t channel, int32_t *dst, int32_t reserved, int32_t maxCount,
                                        int32_t *outCount) = 0; // 105

    // Read by the per-device exports; set by the source (see GMBLBlobSource).
    bool m_measuring = false;          // a start command was sent, and no stop or init since
    int32_t m_channelCapacity = 40000; // measurements each channel ring holds
    int32_t m_numChannels = 1;         // channel rings made at attach; the product source uses 8
};
