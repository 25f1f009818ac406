// The receive path of a blob source and the command round trip.
//
// BM_IngestMeasurements: a stream of measurement blobs (six channels, 20
// samples each, as a unit streams them) delivered to the reader callback in
// pieces of the given size, while a consumer thread drains the channel rings
// as a host would. Reports bytes/s and samples/s filed.
//
// BM_CommandRoundTrip: SendCmdAndGetResponse (get measurement period) against
// a simulated unit over the simulated stack: framing, the stack's delivery
// thread, the reader callback and the response wait, which looks at the ring
// every 10 ms.
#include "BlobFormat.h"
#include "GBluetoothDevice.h"
#include "GMBLBlobSource.h"
#include "SimStack.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kStreamMask = 0x7E; // channels 1..6
constexpr int32_t kChannelsPerBlob = 6;
constexpr int32_t kSamplesPerChannel = 20;
constexpr int32_t kBlobsInStream = 4096;

class BenchSource : public GMBLBlobSource {
  public:
    double GetMeasurementTick() override { return 0.001; }
    double GetMinimumMeasurementPeriod(int32_t) override { return 0.001; }
    double GetMaximumMeasurementPeriod(int32_t) override { return 65.535; }

    int32_t AttachDevice(const GPortRef *port) override {
        if (port != nullptr && port->GetPortType() != -1) {
            auto *device = new GBluetoothDevice(*port);
            device->OSInitialize();
            m_device = device;
        }
        return GMBLBlobSource::AttachDevice(port);
    }
    void AlignOn(uint8_t signature) { ResetFraming(signature); }
};

Bytes Finish(Bytes blob) {
    blob[1] = static_cast<uint8_t>(blob.size());
    blob[3] = BlobChecksum(blob.data());
    return blob;
}

Bytes InitResponse(uint8_t signature) {
    Bytes blob = {0xB8, 0, 0, 0, Blob::kCmdInit, signature};
    blob.insert(blob.end(), Blob::kInitResponsePattern, Blob::kInitResponsePattern + Blob::kInitPatternLength);
    return Finish(blob);
}

Bytes MeasurementStream() {
    Bytes stream;
    uint16_t value = 0;
    for (int32_t b = 0; b < kBlobsInStream; ++b) {
        Bytes blob = {0x20, 0, static_cast<uint8_t>(b), 0, 0, 0, kStreamMask, kSamplesPerChannel};
        for (int32_t i = 0; i < kSamplesPerChannel * kChannelsPerBlob; ++i, ++value) {
            blob.push_back(static_cast<uint8_t>(value & 0x0FFF));
            blob.push_back(static_cast<uint8_t>((value & 0x0FFF) >> 8));
        }
        const Bytes finished = Finish(blob);
        stream.insert(stream.end(), finished.begin(), finished.end());
    }
    return stream;
}

void BM_IngestMeasurements(benchmark::State &state) {
    const size_t piece = static_cast<size_t>(state.range(0));
    const Bytes stream = MeasurementStream();
    BenchSource source;
    source.m_numChannels = 8;
    source.m_ioTraceEnabled = false;
    GPortRef none;
    if (source.AttachDevice(&none) != 0) {
        state.SkipWithError("attach failed");
        return;
    }
    source.AlignOn(0x42);
    const Bytes init = InitResponse(0x42);
    GMBLBlobSource::OnBytesReceived(init.data(), static_cast<int32_t>(init.size()), &source);
    source.ClearResponses();

    std::atomic<bool> running{true};
    std::atomic<int64_t> drained{0};
    std::thread consumer([&] {
        std::vector<int32_t> values(4096);
        while (running.load(std::memory_order_relaxed)) {
            int64_t got = 0;
            for (int32_t channel = 1; channel <= kChannelsPerBlob; ++channel) {
                int32_t count = 0;
                source.ReadRawMeasurements(channel, values.data(), 0, static_cast<int32_t>(values.size()), &count);
                got += count;
            }
            drained += got;
            if (got == 0)
                std::this_thread::yield();
        }
    });

    for (auto _ : state) {
        for (size_t at = 0; at < stream.size(); at += piece) {
            const size_t n = std::min(piece, stream.size() - at);
            GMBLBlobSource::OnBytesReceived(stream.data() + at, static_cast<int32_t>(n), &source);
        }
    }
    running = false;
    consumer.join();

    const int64_t samplesPerPass = int64_t{kBlobsInStream} * kSamplesPerChannel * kChannelsPerBlob;
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(stream.size()));
    state.counters["samples"] =
        benchmark::Counter(static_cast<double>(state.iterations() * samplesPerPass), benchmark::Counter::kIsRate);
    state.counters["drained"] = benchmark::Counter(static_cast<double>(drained.load()));
}
BENCHMARK(BM_IngestMeasurements)->Arg(64)->Arg(1024)->Arg(4096)->UseRealTime();

void BM_CommandRoundTrip(benchmark::State &state) {
    sim::SimStackScope scope;
    auto unit = scope.AddUnit("bench");
    const GPortRef port = scope.PortOf(*unit);
    auto source = std::make_unique<BenchSource>();
    if (source->Open(&port) != 0 ||
        source->SendCmdAndGetResponse(Blob::kCmdInit, nullptr, 0, nullptr, nullptr, 2000, nullptr) != 0) {
        state.SkipWithError("no connection to the simulated unit");
        return;
    }
    int64_t failures = 0;
    for (auto _ : state) {
        uint8_t period[4];
        int32_t size = sizeof period;
        failures += source->SendCmdAndGetResponse(Blob::kCmdGetMeasurementPeriod, nullptr, 0, period, &size, 2000,
                                                  nullptr) != 0;
    }
    state.counters["failures"] = benchmark::Counter(static_cast<double>(failures));
    source.reset(); // before the scope that serves its link
}
BENCHMARK(BM_CommandRoundTrip)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(100);

} // namespace
