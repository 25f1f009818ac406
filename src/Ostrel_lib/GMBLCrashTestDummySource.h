// The measurement source of every open Pellucor unit. It completes the blob
// source with the unit's constants (1 ms tick, periods of 0.001 to 65.535 s,
// 2.5 V per 32768 counts, the memory ranges), creates its GCrashTestDummyDevice,
// connects with the init command, and builds the combined channel 7 out of
// the two ranges of one sensor on channels 1 and 2.
//
// Channel 7. At connection the data sheets of channels 1, 2 and 7 are read
// and verified; when all three pass, "range merging" is on for the life of
// the source: every measurement blob that carries channels 1 and 2 also files
// one merged value per sample pair on channel 7, the calibrated value of
// channel 1 while it stays inside +-10 and of channel 2 beyond that, in steps
// of 5e-08. Until then channel 7 mirrors channel 1.
//
// Threads. The range fields are written only by Open (under m_mutex, before
// the source is handed to the host) and afterwards only read, by the reader
// thread (HandleMeasurementBlob, under m_mutex) and by host threads
// (ConvertToVoltage).
#pragma once

#include "DDSRecord.h"
#include "GMBLBlobSource.h"

#include <cstdint>
#include <vector>

class GMBLCrashTestDummySource : public GMBLBlobSource {
  public:
    // The unit's constants.
    static constexpr double kMeasurementTick = 0.001;           // seconds
    static constexpr double kMinimumMeasurementPeriod = 0.001;  // seconds
    static constexpr double kMaximumMeasurementPeriod = 65.535; // 65535 ticks
    static constexpr double kVoltsPerCount = 7.62939453125e-05; // 2.5 / 32768
    // A merged channel-7 value counts steps of kMergedStep in the sensor's
    // units; its voltage is value * kMergedVoltsPerCount + kMergedVoltsOffset,
    // that is 2.5 + g / 40.
    static constexpr double kMergedStep = 5e-08;
    static constexpr double kMergedVoltsPerCount = 1.25e-09;
    static constexpr double kMergedVoltsOffset = 2.5;
    // Channel 1 serves while its calibrated value stays strictly inside these.
    static constexpr double kMergeLimit = 10.0;

    static constexpr int32_t kLowRangeChannel = 1;
    static constexpr int32_t kHighRangeChannel = 2;
    static constexpr int32_t kMergedChannel = 7;

    static constexpr uint8_t kInitCommand = 0x1A;
    // ReadDataSheet: the sheet came but verification rejected it.
    static constexpr int32_t kRejectedDataSheet = -2;
    static constexpr uint32_t kInitTimeoutMs = 2000;
    static constexpr uint32_t kDataSheetTimeoutMs = 2000;

    // Highest addresses of the unit's memory blocks.
    static constexpr int32_t kOwnMemoryHighestAddress = 0x5FFF;
    static constexpr int32_t kDataSheetHighestAddress = 127;

    GMBLCrashTestDummySource();
    // Closes and deletes the device first, so that its reader thread cannot
    // file into this source while it is being taken apart.
    ~GMBLCrashTestDummySource() override; // 0

    // Copies the port, replaces any device with a new GCrashTestDummyDevice
    // (none for an empty port: 0), then attaches as the blob source does.
    // -1 for no port or a failed attach (the device is then deleted).
    int32_t AttachDevice(const GPortRef *port) override; // 2
    // Attaches if needed, opens the link and sends the init command (2000 ms);
    // then prepares range merging once. On any failure of the link or the
    // init the device is closed and deleted. Success is m_device being set
    // afterwards; the result says the same: 0, or -1 without a device.
    int32_t Open(const GPortRef *port) override; // 5

    // The sensor code of a visible channel: 3 -> 101, 4 -> 103, 5 -> 102,
    // 6 -> 104, 7 -> 100. Any other channel: 0 and false.
    bool Op46(int32_t channel, int32_t *outNumber) override; // 46

    double GetMeasurementTick() override { return kMeasurementTick; }                          // 85
    double GetMinimumMeasurementPeriod(int32_t) override { return kMinimumMeasurementPeriod; } // 89
    double GetMaximumMeasurementPeriod(int32_t) override { return kMaximumMeasurementPeriod; } // 90

    // Channel 7 is served as channel 1 while range merging is off.
    int32_t GetNumMeasurementsAvailable(int32_t channel) override; // 91
    std::vector<int32_t> &ReadMeasurementsToList(std::vector<int32_t> &outList, int32_t channel,
                                                 int32_t maxCount) override; // 93
    int32_t GetLatestRawMeasurement(int32_t channel) override;               // 94
    int32_t ClearMeasurements(int32_t channel) override;                     // 96

    // Block -1 (0xFF, the unit's own memory): 0x5FFF; blocks 1 to 7 (the data
    // sheets): 127; any other block: 0. Only the low byte of `block` counts.
    int32_t GetNVMemAddrRange(int32_t block) override; // 100

    // Merged channel 7: raw * 1.25e-09 + 2.5; everything else (channel 7
    // included while merging is off): raw * 7.62939453125e-05. a and b are
    // not used.
    double ConvertToVoltage(int32_t raw, int32_t channel, int32_t a, int32_t b) override; // 104

    int32_t ReadRawMeasurements(int32_t channel, int32_t *dst, int32_t reserved, int32_t maxCount,
                                int32_t *outCount) override; // 105

    // Files each sample word unsigned, times 16 (0 to 1048560), and with
    // range merging on adds the merged values of channels 1 and 2 to channel
    // 7 in one ring write. Reader thread, m_mutex held; no allocation.
    void HandleMeasurementBlob(const uint8_t *blob) override; // 106

    // The merged channel-7 value of channel-1 value a and channel-2 value b;
    // 0 while range merging is off.
    int32_t Merge(int32_t a, int32_t b) const;

    // Reads the data sheet of a sensor channel (its block, 128 bytes from
    // address 0), verifies it (strictly or leniently) and puts it into record
    // in host order. 0; the transfer's failure; or kRejectedDataSheet, with
    // record unchanged on any failure.
    int32_t ReadDataSheet(int32_t channel, uint32_t timeoutMs, bool strict, DDSRecord &record);

  protected:
    // Reads and strictly verifies the data sheets of channels 1, 2 and 7 and
    // turns range merging on. 0 (also when already on), or the first failure
    // of ReadDataSheet; on failure nothing changes.
    int32_t PrepareRange();

    // The channel a consumer operation serves: 1 for channel 7 while range
    // merging is off, else the channel itself.
    int32_t ServedChannel(int32_t channel) const;

    // Channel 1's and channel 2's data sheets as read at connection, in host
    // order.
    DDSRecord ReferenceRecord1{};
    DDSRecord ReferenceRecord2{};
    // The reference records were read and verified; merging is on. Never
    // returns to false.
    bool RangePrepared = false;
    // The channel-1 value at which its page-0 calibration crosses zero, within
    // 0..1048561 (one above the highest value: beyond every reading).
    int32_t RangeThreshold = 0;
    // K1 of page 0 of ReferenceRecord1 is greater than 0.
    bool PositiveSlope = false;
};
