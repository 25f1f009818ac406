#include "BlobFormat.h"

#include <cstring>

namespace Blob {

// For k = 0..9 the pair (0x05 + k, 0x4A - k).
const uint8_t kInitCommandPattern[kInitPatternLength] = {0x05, 0x4A, 0x06, 0x49, 0x07, 0x48, 0x08, 0x47, 0x09, 0x46,
                                                         0x0A, 0x45, 0x0B, 0x44, 0x0C, 0x43, 0x0D, 0x42, 0x0E, 0x41};
// For k = 0..9 the pair (0x55 + k, 0xAA - k).
const uint8_t kInitResponsePattern[kInitPatternLength] = {0x55, 0xAA, 0x56, 0xA9, 0x57, 0xA8, 0x58, 0xA7, 0x59, 0xA6,
                                                          0x5A, 0xA5, 0x5B, 0xA4, 0x5C, 0xA3, 0x5D, 0xA2, 0x5E, 0xA1};

} // namespace Blob

uint8_t BlobChecksum(const uint8_t *blob) {
    unsigned sum = blob[0] + blob[1] + blob[2];
    const int32_t length = blob[Blob::kLengthOffset];
    for (int32_t i = Blob::kHeaderSize; i < length; ++i)
        sum += blob[i];
    return static_cast<uint8_t>(sum);
}

int32_t BuildCommandBlob(uint8_t (&frame)[Blob::kMaxLength], uint8_t cmd, uint8_t counter, const uint8_t *params,
                         int32_t nParams) {
    std::memset(frame, 0, sizeof frame);
    if (cmd == Blob::kCmdInit) {
        params = Blob::kInitCommandPattern;
        nParams = Blob::kInitPatternLength;
    }
    const int32_t length = Blob::kCommandHeaderSize + nParams;
    frame[Blob::kTypeOffset] = Blob::kCommandType;
    frame[Blob::kLengthOffset] = static_cast<uint8_t>(length);
    frame[Blob::kCounterOffset] = counter;
    frame[Blob::kCommandCodeOffset] = cmd;
    if (nParams > 0)
        std::memcpy(frame + Blob::kCommandHeaderSize, params, static_cast<size_t>(nParams));
    frame[Blob::kChecksumOffset] = BlobChecksum(frame);
    return length;
}

bool IsInitResponse(const uint8_t *blob, uint8_t signature) {
    return (blob[Blob::kTypeOffset] & Blob::kClassMask) == Blob::kClassInitResponse &&
           blob[Blob::kLengthOffset] == Blob::kInitResponseLength && blob[Blob::kResponseCmdOffset] == Blob::kCmdInit &&
           blob[Blob::kResponseSignatureOffset] == signature &&
           std::memcmp(blob + Blob::kResponseHeaderSize, Blob::kInitResponsePattern, Blob::kInitPatternLength) == 0 &&
           BlobChecksum(blob) == blob[Blob::kChecksumOffset];
}

MeasurementLayout ParseMeasurementLayout(const uint8_t *blob) {
    MeasurementLayout layout;
    const uint8_t mask = blob[Blob::kMeasurementMaskOffset];
    for (int32_t channel = 0; channel < Blob::kMaxChannels; ++channel)
        if (mask & (1u << channel))
            layout.channels[layout.numChannels++] = static_cast<uint8_t>(channel);
    layout.samplesPerChannel = blob[Blob::kMeasurementSamplesOffset];
    return layout;
}

bool MeasurementSamplesFit(const uint8_t *blob, const MeasurementLayout &layout) {
    const int32_t declared = Blob::kMeasurementHeaderSize + 2 * layout.samplesPerChannel * layout.numChannels;
    return declared <= blob[Blob::kLengthOffset];
}
