// The receive path of a blob source beside its floor, and the command round
// trip.
//
// BM_IngestMeasurements/piece/capture: a stream of measurement blobs (six
// channels, 20 samples each, as a unit streams them) delivered to the reader
// callback in pieces of the given size, while the host drains the channel
// rings often enough that they never overflow; capture 1 has the input
// capture ring on, as hosts have it (it is on by default). Reports bytes/s,
// samples/s filed and the samples the host missed (lost, always 0).
//
// BM_IngestFloor/piece/capture: the same stream through IngestFloor, the same
// work without locks or threads, in the same run: the ingest's share of the
// floor is the ratio of the two rates.
//
// BM_IngestOverflow/capture: the ingest with no consumer, every channel ring
// full, so every ring write drops the oldest values.
//
// BM_CommandRoundTrip: SendCmdAndGetResponse (get measurement period) against
// a simulated unit over the simulated stack: framing, the stack's delivery
// thread, the reader callback and the response wait.
#include "BlobFormat.h"
#include "GBluetoothDevice.h"
#include "GCircularBuffer.h"
#include "GMBLBlobSource.h"
#include "IngestFloor.h"
#include "PriorityMutex.h"
#include "SimStack.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kStreamMask = 0x7E; // channels 1..6
constexpr int32_t kChannels = 8;
constexpr int32_t kChannelsPerBlob = 6;
constexpr int32_t kSamplesPerChannel = 20;
constexpr int32_t kBlobsInStream = 4096;
constexpr int32_t kValuesPerChannel = 40000;
constexpr int64_t kSamplesPerPass = int64_t{kBlobsInStream} * kSamplesPerChannel * kChannelsPerBlob;

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

const Bytes &MeasurementStream() {
    static const Bytes stream = [] {
        Bytes all;
        uint16_t value = 0;
        for (int32_t b = 0; b < kBlobsInStream; ++b) {
            Bytes blob = {0x20, 0, static_cast<uint8_t>(b), 0, 0, 0, kStreamMask, kSamplesPerChannel};
            for (int32_t i = 0; i < kSamplesPerChannel * kChannelsPerBlob; ++i, value += 977) {
                blob.push_back(static_cast<uint8_t>(value));
                blob.push_back(static_cast<uint8_t>(value >> 8));
            }
            const Bytes finished = Finish(blob);
            all.insert(all.end(), finished.begin(), finished.end());
        }
        return all;
    }();
    return stream;
}

template <typename Feed> void DeliverStream(size_t piece, Feed &&feed) {
    const Bytes &stream = MeasurementStream();
    for (size_t at = 0; at < stream.size(); at += piece)
        feed(stream.data() + at, std::min(piece, stream.size() - at));
}

// The benchmark thread delivers as a stack's reader thread does: at the
// source lock's ceiling, so that taking the lock changes no priority.
class ReaderThreadLevel {
  public:
    ReaderThreadLevel() : m_saved(GetCurrentPriorityLevel()) {
        SetCurrentPriorityLevel(GMBLBlobSource::kSourcePriorityLevel);
    }
    ~ReaderThreadLevel() { SetCurrentPriorityLevel(m_saved); }

  private:
    PriorityLevel m_saved;
};

// A source aligned on the stream, with capture on or off.
std::unique_ptr<BenchSource> AlignedSource(bool capture) {
    auto source = std::make_unique<BenchSource>();
    source->m_numChannels = kChannels;
    source->m_channelCapacity = kValuesPerChannel;
    source->m_ioTraceEnabled = capture;
    GPortRef none;
    if (source->AttachDevice(&none) != 0)
        return nullptr;
    source->AlignOn(0x42);
    const Bytes init = InitResponse(0x42);
    GMBLBlobSource::OnBytesReceived(init.data(), static_cast<int32_t>(init.size()), source.get());
    source->ClearResponses();
    return source;
}

void Feed(BenchSource &source, const uint8_t *bytes, size_t n) {
    GMBLBlobSource::OnBytesReceived(bytes, static_cast<int32_t>(n), &source);
}

// The floor counts only if it does the library's work: one pass through
// both must leave the same values in every channel and the same capture.
bool FloorMatchesLibrary() {
    auto source = AlignedSource(true);
    bench::IngestFloor floor(kChannels, kValuesPerChannel, true);
    if (source == nullptr)
        return false;
    DeliverStream(1000, [&](const uint8_t *p, size_t n) {
        Feed(*source, p, n);
        floor.Feed(p, n);
    });
    for (int32_t channel = 0; channel < kChannels; ++channel) {
        std::vector<int32_t> values(kValuesPerChannel);
        int32_t count = 0;
        source->ReadRawMeasurements(channel, values.data(), 0, kValuesPerChannel, &count);
        const Bytes expected = floor.Channel(channel).Newest(static_cast<size_t>(count) * 4 + 4);
        if (expected.size() != static_cast<size_t>(count) * 4 ||
            !std::equal(expected.begin(), expected.end(), reinterpret_cast<const uint8_t *>(values.data())))
            return false;
    }
    GCircularBuffer *capture = source->m_inputTraceBuffer;
    Bytes captured(static_cast<size_t>(capture->GetCount()));
    capture->Read(captured.data(), static_cast<int32_t>(captured.size()));
    const Bytes &stream = MeasurementStream();
    return captured.size() == GMBLBlobSource::kTraceRingCapacity &&
           std::equal(captured.begin(), captured.end(), stream.end() - static_cast<std::ptrdiff_t>(captured.size()));
}

void Report(benchmark::State &state) {
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(MeasurementStream().size()));
    state.counters["samples"] =
        benchmark::Counter(static_cast<double>(state.iterations() * kSamplesPerPass), benchmark::Counter::kIsRate);
}

void BM_IngestMeasurements(benchmark::State &state) {
    const size_t piece = static_cast<size_t>(state.range(0));
    auto source = AlignedSource(state.range(1) != 0);
    if (source == nullptr) {
        state.SkipWithError("attach failed");
        return;
    }
    const ReaderThreadLevel level;
    // The host drains every channel after each kDrainBytes of the stream,
    // a small share of a ring: the rings never overflow. On the same thread,
    // so that the figure does not depend on how a busy machine schedules a
    // second one.
    constexpr size_t kDrainBytes = 16 * 1024;
    std::vector<int32_t> values(kValuesPerChannel);
    int64_t drained = 0;
    size_t sinceDrain = 0;
    const auto drain = [&] {
        for (int32_t channel = 1; channel <= kChannelsPerBlob; ++channel) {
            int32_t count = 0;
            source->ReadRawMeasurements(channel, values.data(), 0, kValuesPerChannel, &count);
            drained += count;
        }
        sinceDrain = 0;
    };
    for (auto _ : state)
        DeliverStream(piece, [&](const uint8_t *p, size_t n) {
            Feed(*source, p, n);
            sinceDrain += n;
            if (sinceDrain >= kDrainBytes)
                drain();
        });
    drain();
    Report(state);
    state.counters["lost"] = static_cast<double>(state.iterations() * kSamplesPerPass - drained);
}
BENCHMARK(BM_IngestMeasurements)->ArgsProduct({{64, 1024, 4096}, {0, 1}})->UseRealTime();

void BM_IngestFloor(benchmark::State &state) {
    static const bool sound = FloorMatchesLibrary();
    if (!sound) {
        state.SkipWithError("the floor does not do the library's work");
        return;
    }
    const size_t piece = static_cast<size_t>(state.range(0));
    bench::IngestFloor floor(kChannels, kValuesPerChannel, state.range(1) != 0);
    for (auto _ : state) {
        DeliverStream(piece, [&](const uint8_t *p, size_t n) { floor.Feed(p, n); });
        benchmark::ClobberMemory();
    }
    Report(state);
}
BENCHMARK(BM_IngestFloor)->ArgsProduct({{64, 1024, 4096}, {0, 1}})->UseRealTime();

void BM_IngestOverflow(benchmark::State &state) {
    auto source = AlignedSource(state.range(0) != 0);
    if (source == nullptr) {
        state.SkipWithError("attach failed");
        return;
    }
    const ReaderThreadLevel level;
    // Full from the start: the stream holds more than a ring's values.
    DeliverStream(4096, [&](const uint8_t *p, size_t n) { Feed(*source, p, n); });
    for (auto _ : state)
        DeliverStream(4096, [&](const uint8_t *p, size_t n) { Feed(*source, p, n); });
    Report(state);
}
BENCHMARK(BM_IngestOverflow)->Arg(0)->Arg(1)->UseRealTime();

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
BENCHMARK(BM_CommandRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(200);

} // namespace
