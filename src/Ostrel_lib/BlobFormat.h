// The unit's wire frames ("blobs"): a four-byte header [type][length][counter]
// [checksum] followed by at most 251 bytes, at most 255 bytes in all. There is
// no start marker and no escaping; the stream is cut by the length bytes once
// the reader has aligned on the init response. Multi-byte fields are
// little-endian.
#pragma once

#include <cstdint>

namespace Blob {

// Header.
constexpr int32_t kHeaderSize = 4;
constexpr int32_t kMaxLength = 255;
constexpr int32_t kTypeOffset = 0;
constexpr int32_t kLengthOffset = 1;
constexpr int32_t kCounterOffset = 2;
constexpr int32_t kChecksumOffset = 3;

// Classes, by type & kClassMask.
constexpr uint8_t kClassMask = 0xE0;
constexpr uint8_t kClassMeasurement = 0x20;
constexpr uint8_t kClassCommand = 0x40;
constexpr uint8_t kClassResponse = 0x80;
constexpr uint8_t kClassInitResponse = 0xA0; // also an ordinary response class

// Response flags, in the type byte of both response classes.
constexpr uint8_t kFlagError = 0x04; // this blob alone is the whole (failed) response
constexpr uint8_t kFlagFirst = 0x08;
constexpr uint8_t kFlagLast = 0x10;

// Command blob: [0x40][5 + n][counter][checksum][cmd][n parameter bytes].
constexpr uint8_t kCommandType = 0x40;
constexpr int32_t kCommandCodeOffset = 4;
constexpr int32_t kCommandHeaderSize = 5;
constexpr int32_t kMaxParams = kMaxLength - kCommandHeaderSize; // 250

// Response blob: [type][length][-][checksum][cmd echo][signature][payload].
constexpr int32_t kResponseCmdOffset = 4;
constexpr int32_t kResponseSignatureOffset = 5;
constexpr int32_t kResponseHeaderSize = 6;
constexpr int32_t kMaxResponsePayload = kMaxLength - kResponseHeaderSize; // 249

// Measurement blob: [type][length][-][checksum][- -][mask][S][samples], sample
// i of the k-th present channel at 8 + 2 (i N + k).
constexpr int32_t kMeasurementMaskOffset = 6;
constexpr int32_t kMeasurementSamplesOffset = 7;
constexpr int32_t kMeasurementHeaderSize = 8;
constexpr int32_t kMaxChannels = 8;
// The most samples of one channel that fit in one blob: (255 - 8) / 2.
constexpr int32_t kMaxSamplesPerChannel = (kMaxLength - kMeasurementHeaderSize) / 2;

// Command codes the library itself sends.
constexpr uint8_t kCmdStartMeasurements = 0x18;
constexpr uint8_t kCmdStopMeasurements = 0x19;
constexpr uint8_t kCmdInit = 0x1A;
constexpr uint8_t kCmdSetMeasurementPeriod = 0x1B;
constexpr uint8_t kCmdGetMeasurementPeriod = 0x1C;
constexpr uint8_t kCmdWriteNonVolatileMemory = 0x21;
constexpr uint8_t kCmdReadNonVolatileMemory = 0x27;

// The init exchange: the command always carries kInitCommandPattern, and the
// unit's 26-byte answer carries kInitResponsePattern. The answer is the one
// blob the reader can recognise without framing.
constexpr int32_t kInitPatternLength = 20;
constexpr int32_t kInitCommandLength = kCommandHeaderSize + kInitPatternLength;   // 25
constexpr int32_t kInitResponseLength = kResponseHeaderSize + kInitPatternLength; // 26
extern const uint8_t kInitCommandPattern[kInitPatternLength];
extern const uint8_t kInitResponsePattern[kInitPatternLength];

// Non-volatile memory transfers.
constexpr int32_t kReadRequestSize = 7;                                // block, address (4), count (2)
constexpr int32_t kWriteChunkHeaderSize = 6;                           // block, address (4), n (1)
constexpr int32_t kMaxWriteChunk = kMaxParams - kWriteChunkHeaderSize; // 244

} // namespace Blob

// The 8-bit sum of bytes 0..2 and, when 4 <= length <= 255, of bytes
// 4..length-1 (length = blob[1]). Byte 3, where the sum goes, is left out.
uint8_t BlobChecksum(const uint8_t *blob);

// Frames a command into `frame` (zeroed first) with `counter` in byte 2 and
// its checksum in byte 3, and returns its length. The init command always
// carries the fixed init pattern instead of `params`. The caller ensures
// 0 <= nParams <= Blob::kMaxParams.
int32_t BuildCommandBlob(uint8_t (&frame)[Blob::kMaxLength], uint8_t cmd, uint8_t counter, const uint8_t *params,
                         int32_t nParams);

// True when the 26 bytes at `blob` are the unit's init response to the init
// command that carried `signature`.
bool IsInitResponse(const uint8_t *blob, uint8_t signature);

// The channels a measurement blob names in its mask, in ascending order, and
// its samples per channel.
struct MeasurementLayout {
    int32_t numChannels = 0;
    int32_t samplesPerChannel = 0;
    uint8_t channels[Blob::kMaxChannels] = {};
    // The highest channel present; -1 when none is.
    int32_t HighestChannel() const { return numChannels > 0 ? channels[numChannels - 1] : -1; }
};
MeasurementLayout ParseMeasurementLayout(const uint8_t *blob);

// True when the samples the blob declares (8 + 2 S N bytes) lie within its
// length byte.
bool MeasurementSamplesFit(const uint8_t *blob, const MeasurementLayout &layout);

// Sample `sample` of the `slot`-th present channel (0-based, ascending order).
inline uint16_t MeasurementSampleWord(const uint8_t *blob, const MeasurementLayout &layout, int32_t slot,
                                      int32_t sample) {
    const int32_t offset = Blob::kMeasurementHeaderSize + 2 * (sample * layout.numChannels + slot);
    return static_cast<uint16_t>(blob[offset] | (blob[offset + 1] << 8));
}

// Little-endian helpers for parameter and payload fields.
inline void PutLittleEndian32(uint8_t *dst, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        dst[i] = static_cast<uint8_t>(value >> (8 * i));
}
inline void PutLittleEndian16(uint8_t *dst, uint16_t value) {
    dst[0] = static_cast<uint8_t>(value);
    dst[1] = static_cast<uint8_t>(value >> 8);
}
inline uint32_t GetLittleEndian32(const uint8_t *src) {
    return static_cast<uint32_t>(src[0]) | (static_cast<uint32_t>(src[1]) << 8) |
           (static_cast<uint32_t>(src[2]) << 16) | (static_cast<uint32_t>(src[3]) << 24);
}
