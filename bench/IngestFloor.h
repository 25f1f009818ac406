// The floor of the receive path: the same work on the same stream (a copy of
// every byte into a capture ring, blobs cut by their length bytes, checksums,
// samples decoded as signed 16 bits into one ring of 32-bit values per
// channel), with no locks, no threads and no framing search. What the library
// does beyond this is the price of being shared with host threads.
#pragma once

#include "BlobFormat.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace bench {

// A byte ring that overwrites its oldest bytes: at most two copies a write.
class PlainRing {
  public:
    explicit PlainRing(size_t capacity) : m_bytes(capacity) {}
    void Write(const void *src, size_t n) {
        const auto *p = static_cast<const uint8_t *>(src);
        if (n >= m_bytes.size()) { // only the newest fit
            p += n - m_bytes.size();
            n = m_bytes.size();
        }
        const size_t first = std::min(n, m_bytes.size() - m_at);
        std::memcpy(m_bytes.data() + m_at, p, first);
        std::memcpy(m_bytes.data(), p + first, n - first);
        m_at = (m_at + n) % m_bytes.size();
        m_held = std::min(m_held + n, m_bytes.size());
    }
    // The newest `n` bytes held, oldest first.
    std::vector<uint8_t> Newest(size_t n) const {
        n = std::min(n, m_held);
        std::vector<uint8_t> out(n);
        for (size_t i = 0; i < n; ++i)
            out[i] = m_bytes[(m_at + m_bytes.size() - n + i) % m_bytes.size()];
        return out;
    }

  private:
    std::vector<uint8_t> m_bytes;
    size_t m_at = 0;
    size_t m_held = 0;
};

class IngestFloor {
  public:
    IngestFloor(int32_t channels, size_t valuesPerChannel, bool capture)
        : m_capture(capture ? 10000 : 0), m_channels(static_cast<size_t>(channels), PlainRing(valuesPerChannel * 4)),
          m_captureOn(capture) {}

    void Feed(const uint8_t *bytes, size_t length) {
        if (m_captureOn)
            m_capture.Write(bytes, length);
        while (length > 0) {
            // Copy up to the blob's end (at least its header).
            size_t want = static_cast<size_t>(Blob::kHeaderSize);
            if (m_assembled >= want)
                want = std::max<size_t>(want, m_blob[Blob::kLengthOffset]);
            const size_t n = std::min(length, want - std::min(want, m_assembled));
            std::memcpy(m_blob + m_assembled, bytes, n);
            m_assembled += n;
            bytes += n;
            length -= n;
            if (m_assembled >= static_cast<size_t>(Blob::kHeaderSize) && m_assembled >= m_blob[Blob::kLengthOffset]) {
                File();
                m_assembled = 0;
            }
        }
    }
    const PlainRing &Channel(int32_t channel) const { return m_channels[static_cast<size_t>(channel)]; }

  private:
    void File() {
        if (BlobChecksum(m_blob) != m_blob[Blob::kChecksumOffset] ||
            (m_blob[0] & Blob::kClassMask) != Blob::kClassMeasurement ||
            m_blob[Blob::kLengthOffset] < Blob::kMeasurementHeaderSize)
            return;
        const MeasurementLayout layout = ParseMeasurementLayout(m_blob);
        if (!MeasurementSamplesFit(m_blob, layout) || layout.numChannels == 0 || layout.samplesPerChannel == 0 ||
            layout.HighestChannel() >= static_cast<int32_t>(m_channels.size()))
            return;
        int32_t values[Blob::kMaxSamplesPerChannel];
        for (int32_t slot = 0; slot < layout.numChannels; ++slot) {
            for (int32_t i = 0; i < layout.samplesPerChannel; ++i)
                values[i] = static_cast<int16_t>(MeasurementSampleWord(m_blob, layout, slot, i));
            m_channels[layout.channels[slot]].Write(values, static_cast<size_t>(layout.samplesPerChannel) * 4);
        }
    }

    PlainRing m_capture;
    std::vector<PlainRing> m_channels;
    bool m_captureOn;
    uint8_t m_blob[256] = {};
    size_t m_assembled = 0;
};

} // namespace bench
