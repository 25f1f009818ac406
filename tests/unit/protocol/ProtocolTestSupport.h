// Shared by the protocol tests: a concrete blob source (1 ms tick, periods
// 0.001 to 65.535 s) that creates a Bluetooth device when it attaches to a
// port, blob builders for the unit's side, and a fixture connected to a
// simulated unit.
#pragma once

#include "BlobFormat.h"
#include "GBluetoothDevice.h"
#include "GCircularBuffer.h"
#include "GMBLBlobSource.h"
#include "SimStack.h"
#include "TraceCapture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace protocol_test {

using Bytes = std::vector<uint8_t>;

// Generous: these bound waits for what must happen, also on slow emulation.
constexpr uint32_t kPatienceMs = 5000;
// Short: these bound waits for what must not happen.
constexpr uint32_t kQuietMs = 100;

template <typename Condition> bool WaitUntil(Condition condition, int boundMs = 30000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A blob of the unit's side with a correct checksum (unless told otherwise).
inline Bytes MakeBlob(uint8_t type, Bytes body, uint8_t counter = 0x33) {
    Bytes blob = {type, static_cast<uint8_t>(4 + body.size()), counter, 0};
    blob.insert(blob.end(), body.begin(), body.end());
    blob[3] = BlobChecksum(blob.data());
    return blob;
}
inline Bytes Response(uint8_t type, uint8_t cmd, uint8_t signature, const Bytes &payload = {}) {
    Bytes body = {cmd, signature};
    body.insert(body.end(), payload.begin(), payload.end());
    return MakeBlob(type, body);
}
inline Bytes InitResponse(uint8_t signature) {
    return Response(0xB8, Blob::kCmdInit, signature,
                    Bytes(Blob::kInitResponsePattern, Blob::kInitResponsePattern + Blob::kInitPatternLength));
}
// samples[i * N + k]: sample i of the k-th channel named in the mask.
inline Bytes Measurement(uint8_t mask, uint8_t perChannel, const std::vector<int16_t> &samples) {
    Bytes body = {0, 0, mask, perChannel};
    for (int16_t s : samples) {
        body.push_back(static_cast<uint8_t>(s));
        body.push_back(static_cast<uint8_t>(static_cast<uint16_t>(s) >> 8));
    }
    return MakeBlob(0x20, body);
}
inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Everything a ring holds, removed.
inline Bytes Drain(GCircularBuffer *ring) {
    Bytes all(static_cast<size_t>(ring->GetCapacity()));
    all.resize(static_cast<size_t>(ring->Read(all.data(), ring->GetCapacity())));
    return all;
}

class TestBlobSource : public GMBLBlobSource {
  public:
    struct Exchange {
        uint8_t cmd;
        Bytes params;
        uint32_t timeoutMs;
    };

    double GetMeasurementTick() override { return 0.001; }
    double GetMinimumMeasurementPeriod(int32_t) override { return 0.001; }
    double GetMaximumMeasurementPeriod(int32_t) override { return 65.535; }

    // Creates the device (an empty port gives none), then attaches as the
    // blob source does.
    int32_t AttachDevice(const GPortRef *port) override {
        if (port == nullptr)
            return -1;
        m_portRef = *port;
        ReleaseDevice();
        if (port->GetPortType() != -1 && !port->GetDeviceName().empty()) {
            auto *device = new GBluetoothDevice(*port);
            device->OSInitialize();
            m_device = device;
        }
        return GMBLBlobSource::AttachDevice(port);
    }
    // Attaches without a device: rings only, fed through OnBytesReceived.
    void AttachWithoutDevice(int32_t channels = 1, int32_t capacity = 40000) {
        m_numChannels = channels;
        m_channelCapacity = capacity;
        GPortRef none;
        ASSERT_EQ(0, AttachDevice(&none));
        ASSERT_EQ(nullptr, m_device);
    }

    // Records every exchange; a canned payload answers instead of the unit.
    int32_t SendCmdAndGetResponse(uint8_t cmd, const uint8_t *params, int32_t nParams, uint8_t *dst, int32_t *inOutSize,
                                  uint32_t timeoutMs, const bool *stopFlag) override {
        exchanges.push_back({cmd, Bytes(params, params + (params != nullptr ? nParams : 0)), timeoutMs});
        if (cannedPayload) {
            const int32_t n = std::min<int32_t>(static_cast<int32_t>(cannedPayload->size()), *inOutSize);
            std::copy(cannedPayload->begin(), cannedPayload->begin() + n, dst);
            *inOutSize = n;
            return 0;
        }
        return GMBLBlobSource::SendCmdAndGetResponse(cmd, params, nParams, dst, inOutSize, timeoutMs, stopFlag);
    }

    void Feed(const Bytes &bytes) { OnBytesReceived(bytes.data(), static_cast<int32_t>(bytes.size()), this); }
    // Aligns the reader as an init exchange would, without a device.
    void Synchronise(uint8_t signature = 0x42) {
        ResetFraming(signature);
        Feed(InitResponse(signature));
        ASSERT_TRUE(m_synchronised);
        ClearResponses();
    }
    int32_t ResponseBytes() { return m_responseBuffer->GetCount(); }

    using GMBLBlobSource::AccumulateBlob;
    using GMBLBlobSource::FindInitResponse;
    using GMBLBlobSource::m_device;
    using GMBLBlobSource::m_initSignature;
    using GMBLBlobSource::m_latestMeasurements;
    using GMBLBlobSource::m_measurementBuffers;
    using GMBLBlobSource::m_responseBuffer;
    using GMBLBlobSource::m_rollingCounter;
    using GMBLBlobSource::m_synchronised;
    using GMBLBlobSource::ResetFraming;

    std::vector<Exchange> exchanges;
    std::unique_ptr<Bytes> cannedPayload;
};

// A source opened on a simulated unit and aligned by the init exchange.
class SimulatedUnitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        unit = scope.AddUnit();
        port = scope.PortOf(*unit);
        source = std::make_unique<TestBlobSource>();
        source->m_numChannels = channels;
        ASSERT_EQ(0, source->Open(&port));
        ASSERT_EQ(0, source->SendCmdAndGetResponse(Blob::kCmdInit, nullptr, 0, nullptr, nullptr, kPatienceMs, nullptr));
        source->exchanges.clear();
    }
    void TearDown() override { source.reset(); }

    int32_t channels = 1;
    sim::SimStackScope scope;
    std::shared_ptr<sim::SimUnit> unit;
    GPortRef port;
    std::unique_ptr<TestBlobSource> source;
};

} // namespace protocol_test
