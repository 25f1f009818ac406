// The sources under fuzzing, each attached to an InstantLink and running its
// waits on a simulated clock: a pause moves the clock on instead of sleeping,
// so a wait that never completes costs a few hundred passes, not seconds.
#pragma once

#include "FuzzSupport.h"

#include "BlobFormat.h"
#include "GCircularBuffer.h"
#include "GMBLBlobSource.h"
#include "GMBLCrashTestDummySource.h"

#include <cstdint>

namespace fuzz {

// The link every source of the process uses; its answer is set per run.
inline InstantLink &TheLink() {
    static InstantLink *link = new InstantLink; // lives as long as the process
    return *link;
}

// The blob source with the unit's tick and periods.
class TickedBlobSource : public GMBLBlobSource {
  public:
    double GetMeasurementTick() override { return 0.001; }
    double GetMinimumMeasurementPeriod(int32_t) override { return 0.001; }
    double GetMaximumMeasurementPeriod(int32_t) override { return 65.535; }
};

template <typename Base> class Harnessed : public Base {
  public:
    // Attached to TheLink() with `channels` rings of `capacity` values each.
    Harnessed(int32_t channels, int32_t capacity, bool capture) {
        this->m_numChannels = channels;
        this->m_channelCapacity = capacity;
        this->m_ioTraceEnabled = capture;
        this->m_device = &TheLink();
        attached = this->GMBLBlobSource::AttachDevice(nullptr) == 0;
    }
    // The link is not the source's to delete.
    ~Harnessed() override { this->m_device = nullptr; }

    uint32_t TickCount() const override { return now; }
    void Pause(uint32_t milliseconds) override { now += milliseconds; }

    void Feed(const uint8_t *bytes, int32_t length) { GMBLBlobSource::OnBytesReceived(bytes, length, this); }
    uint8_t NextSignature() const { return this->m_rollingCounter; }
    bool Synchronised() const { return this->m_synchronised != 0; }
    GCircularBuffer *ResponseRing() const { return this->m_responseBuffer; }
    GCircularBuffer *InputTraceRing() const { return this->m_inputTraceBuffer; }
    GCircularBuffer *ChannelRingOf(int32_t channel) const { return this->m_measurementBuffers[channel]; }

    // What must hold of the rings whatever came in: none holds more than its
    // capacity, channel rings hold whole values, and the response ring holds
    // whole response blobs whose checksums hold, back to back. Empties the
    // response ring.
    void CheckRings() {
        for (GCircularBuffer *ring : this->m_measurementBuffers) {
            Require(ring->GetCount() <= ring->GetCapacity(), "a channel ring holds no more than its capacity");
            Require(ring->GetCount() % 4 == 0, "a channel ring holds whole values");
        }
        if (GCircularBuffer *trace = InputTraceRing())
            Require(trace->GetCount() <= trace->GetCapacity(), "the capture ring holds no more than its capacity");
        GCircularBuffer *ring = ResponseRing();
        Require(ring->GetCount() <= ring->GetCapacity(), "the response ring holds no more than its capacity");
        while (ring->GetCount() > 0) {
            uint8_t blob[Blob::kMaxLength + 1] = {};
            Require(ring->Read(blob, Blob::kHeaderSize) == Blob::kHeaderSize, "the response ring holds whole headers");
            const int32_t rest = std::max<int32_t>(blob[Blob::kLengthOffset], Blob::kHeaderSize) - Blob::kHeaderSize;
            Require(ring->Read(blob + Blob::kHeaderSize, rest) == rest, "the response ring holds whole blobs");
            Require(BlobChecksum(blob) == blob[Blob::kChecksumOffset], "only blobs whose checksum holds are filed");
            const uint8_t blobClass = blob[Blob::kTypeOffset] & Blob::kClassMask;
            Require(blobClass == Blob::kClassResponse || blobClass == Blob::kClassInitResponse,
                    "only response blobs go to the response ring");
        }
    }

    // Aligns the reader through a real init exchange answered at once.
    bool Connect() {
        TheLink().answer = [this](const uint8_t *blob, int32_t) {
            Wire wire;
            wire.InitResponse(blob[Blob::kCounterOffset]);
            Feed(wire.bytes.data(), static_cast<int32_t>(wire.bytes.size()));
        };
        const int32_t result = this->SendCmdAndGetResponse(Blob::kCmdInit, nullptr, 0, nullptr, nullptr, 2000, nullptr);
        TheLink().answer = nullptr;
        return result == 0 && Synchronised();
    }

    bool attached = false;
    mutable uint32_t now = 1000;
};

} // namespace fuzz
