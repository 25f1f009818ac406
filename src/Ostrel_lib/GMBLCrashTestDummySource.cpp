#include "GMBLCrashTestDummySource.h"

#include "BlobFormat.h"
#include "GCrashTestDummyDevice.h"
#include "GMBLSensor.h"
#include "PriorityMutex.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <new>

namespace {

// Operation 46: the sensor code of each visible channel.
struct SensorCode {
    int32_t channel;
    int32_t number;
};
constexpr SensorCode kSensorCodes[] = {{3, 101}, {4, 103}, {5, 102}, {6, 104}, {7, 100}};

constexpr int32_t kOwnMemoryBlock = -1; // 0xFF
constexpr int32_t kFirstDataSheetBlock = 1;
constexpr int32_t kLastDataSheetBlock = 7;

constexpr int32_t kSampleShift = 4; // sample words are filed times 16
// Channel values run from 0 to 0xFFFF << 4 = 1048560. A threshold one above
// the highest value lies beyond every reading.
constexpr int32_t kHighestValue = 0xFFFF << kSampleShift;
constexpr int32_t kBeyondEveryValue = kHighestValue + 1;

// Only the low byte of a block number counts, sign-extended (0xFF is -1).
int32_t BlockNumber(int32_t block) {
    const int32_t low = block & 0xFF;
    return low >= 0x80 ? low - 0x100 : low;
}

// K0 + K1 * volts with the coefficients of one page of a data sheet.
double Calibrated(const DDSRecord &record, size_t page, double volts) {
    const double k0 = record.Float32(CalPageFieldOffset(page, DDSCalPageField::K0));
    const double k1 = record.Float32(CalPageFieldOffset(page, DDSCalPageField::K1));
    return volts * k1 + k0;
}

// The channel-1 value at which a page-0 calibration K0 + K1 v crosses zero,
// kept within 0..kBeyondEveryValue.
//
// A crossing outside the range of channel-1 values is clamped rather than
// wrapped: a wrapped value would put the threshold in the middle of the range
// and send every reading below it to the wrong page. Clamped to the whole
// range of values (the 16-bit sample word times 16, not only the 12 bits most
// units use), every reading stays on the side of the crossing it really is
// on, also readings above 5 V.
//
// K1 = 0: a flat calibration has no crossing. PositiveSlope is then false, so
// a reading takes page 1 exactly when it is at or above the threshold; it is
// treated as the limit of a slope that tends to 0 from below, which puts the
// crossing beyond the whole range on the side of the sign of K0: K0 < 0 (the
// page reads negative everywhere) gives 0, so that every reading takes page 1,
// the negative side; K0 >= 0 gives kBeyondEveryValue, so that every reading
// takes page 0. This also keeps the division by zero away.
//
// NaN or infinite coefficients: an infinite crossing clamps like any other;
// a NaN one (0/0, inf/inf) gives 0. No float reaches an integer conversion
// out of range.
int32_t ThresholdOf(float k0, float k1) {
    if (k1 == 0.0f)
        return k0 < 0.0f ? 0 : kBeyondEveryValue;
    const double volts = -static_cast<double>(k0) / static_cast<double>(k1);
    const double counts = std::floor(volts / GMBLCrashTestDummySource::kVoltsPerCount + 0.5);
    if (!(counts > 0.0))
        return 0;
    if (counts >= kBeyondEveryValue)
        return kBeyondEveryValue;
    return static_cast<int32_t>(counts);
}

// g in whole steps of 5e-08, rounded to the nearest. Beyond about +-107.37 the
// steps do not fit 32 bits; such values saturate at the nearest limit, so that
// a reading far out of range still reads as far out on the same side. NaN
// cannot come out of the merge's limit tests (every comparison with NaN fails,
// which selects the limit), but should one arrive it gives 0 rather than an
// undefined conversion.
int32_t MergedSteps(double g) {
    const double steps = std::floor(g / GMBLCrashTestDummySource::kMergedStep + 0.5);
    if (std::isnan(steps))
        return 0;
    if (steps >= static_cast<double>(std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
    if (steps <= static_cast<double>(std::numeric_limits<int32_t>::min()))
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(steps);
}

} // namespace

GMBLCrashTestDummySource::GMBLCrashTestDummySource() = default;

GMBLCrashTestDummySource::~GMBLCrashTestDummySource() {
    // Before this part is gone: a callback still running on the reader thread
    // would otherwise file through a half-destroyed object.
    CloseDevice();
    ReleaseDevice();
}

// ---------------------------------------------------------------------------
// Attaching and connecting

int32_t GMBLCrashTestDummySource::AttachDevice(const GPortRef *port) {
    if (port == nullptr)
        return -1;
    m_portRef = *port;
    ReleaseDevice();
    if (port->GetPortType() == -1 || port->GetDeviceName().empty())
        return 0;
    m_device = new (std::nothrow) GCrashTestDummyDevice(*port);
    if (m_device == nullptr)
        return -1;
    const int32_t status = GMBLBlobSource::AttachDevice(port);
    if (status != 0)
        ReleaseDevice();
    return status;
}

int32_t GMBLCrashTestDummySource::Open(const GPortRef *port) {
    if (m_device == nullptr)
        AttachDevice(port);
    if (m_device == nullptr)
        return -1;
    // The device's Open takes an untyped argument; the stacks ignore it.
    if (m_device->Open(const_cast<GPortRef *>(port)) == 0 &&
        SendCmdAndGetResponse(kInitCommand, nullptr, 0, nullptr, nullptr, kInitTimeoutMs, nullptr) == 0) {
        // Without the reference sheets channel 7 simply mirrors channel 1.
        PrepareRange();
        return 0;
    }
    if (m_device->m_isOpen)
        m_device->Close();
    ReleaseDevice();
    return -1;
}

int32_t GMBLCrashTestDummySource::ReadDataSheet(int32_t channel, uint32_t timeoutMs, bool strict, DDSRecord &record) {
    uint8_t bytes[kDDSRecordSize];
    const int32_t status = ReadNonVolatileMemory(static_cast<uint8_t>(channel), bytes, 0,
                                                 static_cast<int32_t>(kDDSRecordSize), timeoutMs, nullptr);
    if (status != 0)
        return status;
    if (!VerifyRecord(bytes, strict))
        return kRejectedDataSheet;
    record = DDSRecord::FromBytes(bytes);
    ConvertFromDeviceOrder(record);
    return 0;
}

int32_t GMBLCrashTestDummySource::PrepareRange() {
    if (RangePrepared)
        return 0;
    DDSRecord record1{};
    DDSRecord record2{};
    DDSRecord merged{}; // channel 7's own sheet is not kept; it only has to be sound
    int32_t status = ReadDataSheet(kLowRangeChannel, kDataSheetTimeoutMs, true, record1);
    if (status == 0)
        status = ReadDataSheet(kHighRangeChannel, kDataSheetTimeoutMs, true, record2);
    if (status == 0)
        status = ReadDataSheet(kMergedChannel, kDataSheetTimeoutMs, true, merged);
    if (status != 0)
        return status;

    const float k0 = record1.Float32(CalPageFieldOffset(0, DDSCalPageField::K0));
    const float k1 = record1.Float32(CalPageFieldOffset(0, DDSCalPageField::K1));

    // The reader thread merges under m_mutex: it sees all of these or none.
    PriorityLock lock(m_mutex);
    if (!lock.Locked())
        return -1;
    ReferenceRecord1 = record1;
    ReferenceRecord2 = record2;
    RangeThreshold = ThresholdOf(k0, k1);
    PositiveSlope = k1 > 0.0f;
    RangePrepared = true;
    return 0;
}

// ---------------------------------------------------------------------------
// Constants and tables

bool GMBLCrashTestDummySource::Op46(int32_t channel, int32_t *outNumber) {
    for (const SensorCode &code : kSensorCodes) {
        if (code.channel == channel) {
            if (outNumber != nullptr)
                *outNumber = code.number;
            return true;
        }
    }
    if (outNumber != nullptr)
        *outNumber = 0;
    return false;
}

int32_t GMBLCrashTestDummySource::GetNVMemAddrRange(int32_t block) {
    const int32_t number = BlockNumber(block);
    if (number == kOwnMemoryBlock)
        return kOwnMemoryHighestAddress;
    if (number >= kFirstDataSheetBlock && number <= kLastDataSheetBlock)
        return kDataSheetHighestAddress;
    return 0;
}

double GMBLCrashTestDummySource::ConvertToVoltage(int32_t raw, int32_t channel, int32_t /*a*/, int32_t /*b*/) {
    if (channel == kMergedChannel && RangePrepared)
        return raw * kMergedVoltsPerCount + kMergedVoltsOffset;
    return raw * kVoltsPerCount + 0.0;
}

// ---------------------------------------------------------------------------
// Consumers: channel 7 mirrors channel 1 until merging is on

int32_t GMBLCrashTestDummySource::ServedChannel(int32_t channel) const {
    return channel == kMergedChannel && !RangePrepared ? kLowRangeChannel : channel;
}

int32_t GMBLCrashTestDummySource::GetNumMeasurementsAvailable(int32_t channel) {
    return GMBLBlobSource::GetNumMeasurementsAvailable(ServedChannel(channel));
}

std::vector<int32_t> &GMBLCrashTestDummySource::ReadMeasurementsToList(std::vector<int32_t> &outList, int32_t channel,
                                                                       int32_t maxCount) {
    return GMBLBlobSource::ReadMeasurementsToList(outList, ServedChannel(channel), maxCount);
}

int32_t GMBLCrashTestDummySource::GetLatestRawMeasurement(int32_t channel) {
    return GMBLBlobSource::GetLatestRawMeasurement(ServedChannel(channel));
}

int32_t GMBLCrashTestDummySource::ClearMeasurements(int32_t channel) {
    return GMBLBlobSource::ClearMeasurements(ServedChannel(channel));
}

int32_t GMBLCrashTestDummySource::ReadRawMeasurements(int32_t channel, int32_t *dst, int32_t reserved, int32_t maxCount,
                                                      int32_t *outCount) {
    return GMBLBlobSource::ReadRawMeasurements(ServedChannel(channel), dst, reserved, maxCount, outCount);
}

// ---------------------------------------------------------------------------
// Receive path (reader thread, m_mutex held)

void GMBLCrashTestDummySource::HandleMeasurementBlob(const uint8_t *blob) {
    const MeasurementLayout layout = ParseMeasurementLayout(blob);
    const int32_t samples = layout.samplesPerChannel;
    if (layout.numChannels == 0 || samples == 0 || samples > Blob::kMaxSamplesPerChannel)
        return;
    if (layout.HighestChannel() >= static_cast<int32_t>(m_measurementBuffers.size()))
        return;

    // Channels 1 and 2 are kept for the merge; any other goes through `values`.
    int32_t low[Blob::kMaxSamplesPerChannel];
    int32_t high[Blob::kMaxSamplesPerChannel];
    int32_t values[Blob::kMaxSamplesPerChannel];
    bool haveLow = false;
    bool haveHigh = false;
    for (int32_t slot = 0; slot < layout.numChannels; ++slot) {
        const int32_t channel = layout.channels[slot];
        int32_t *filed = values;
        if (channel == kLowRangeChannel) {
            filed = low;
            haveLow = true;
        } else if (channel == kHighRangeChannel) {
            filed = high;
            haveHigh = true;
        }
        for (int32_t i = 0; i < samples; ++i)
            filed[i] = static_cast<int32_t>(MeasurementSampleWord(blob, layout, slot, i)) << kSampleShift;
        FileMeasurements(channel, filed, samples);
    }

    if (!haveLow || !haveHigh || !RangePrepared || static_cast<int32_t>(m_measurementBuffers.size()) <= kMergedChannel)
        return;
    for (int32_t i = 0; i < samples; ++i)
        values[i] = Merge(low[i], high[i]);
    FileMeasurements(kMergedChannel, values, samples);
}

int32_t GMBLCrashTestDummySource::Merge(int32_t a, int32_t b) const {
    if (!RangePrepared)
        return 0;
    // Page 1 serves the readings on the negative side of channel 1's zero
    // crossing, page 0 the others.
    const size_t page = ((a < RangeThreshold) == PositiveSlope) ? 1 : 0;
    const double c1 = Calibrated(ReferenceRecord1, page, a * kVoltsPerCount);
    const double c2 = Calibrated(ReferenceRecord2, page, b * kVoltsPerCount);
    // Channel 1 while it is strictly inside the limit; beyond it channel 2,
    // but never a value closer to zero than the limit.
    double g;
    if (page == 0)
        g = c1 < kMergeLimit ? c1 : (c2 >= kMergeLimit ? c2 : kMergeLimit);
    else
        g = c1 > -kMergeLimit ? c1 : (c2 <= -kMergeLimit ? c2 : -kMergeLimit);
    return MergedSteps(g);
}
