// Shared by the fuzz targets: a reader of the fuzzer's input, the check that
// stops a run on a broken invariant, a link that answers each command blob
// in the writer's own call (no threads, no sleeps), and the builder that turns
// input bytes into unit-side blobs while it remembers what it sent.
#pragma once

#include "BlobFormat.h"
#include "GDeviceIO.h"
#include "GPortRef.h"
#include "GUtils.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

namespace fuzz {

using Bytes = std::vector<uint8_t>;

// A broken invariant: says which and aborts, so that the fuzzer keeps the
// input as a crash.
inline void Require(bool condition, const char *invariant) {
    if (!condition) {
        std::fprintf(stderr, "fuzz invariant broken: %s\n", invariant);
        std::abort();
    }
}

// Trace lines: formatted (when `format`) but printed nowhere, so that the
// formatting runs without the cost of output. OSTREL_FUZZ_TRACE=1 in the
// environment prints every line instead, to follow a finding.
inline void RouteTraces(bool format) {
    static const bool print = std::getenv("OSTREL_FUZZ_TRACE") != nullptr;
    DebugTraceThreshold = (format || print) ? 10 : 100;
    const TraceCaptureHook discard = [](const wchar_t *, void *) {};
    SetTraceCaptureHook(print ? nullptr : discard, nullptr);
}

// Takes bytes from the front of the input; zeros once it is used up.
class Input {
  public:
    Input(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}

    bool Empty() const { return m_pos >= m_size; }
    size_t Remaining() const { return m_size - m_pos; }
    uint8_t Byte() { return Empty() ? 0 : m_data[m_pos++]; }
    uint16_t U16() {
        const uint8_t low = Byte();
        return static_cast<uint16_t>(low | Byte() << 8);
    }
    Bytes Take(size_t count) {
        Bytes out(count, 0);
        for (size_t i = 0; i < count && !Empty(); ++i)
            out[i] = m_data[m_pos++];
        return out;
    }

  private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// A link whose Write hands the command blob to `answer` at once: the answer
// reaches the source's reader callback before the write returns, as if the
// unit answered instantly. Open, Close and ClearIO succeed without effect.
class InstantLink : public GDeviceIO {
  public:
    using Answer = std::function<void(const uint8_t *blob, int32_t length)>;

    InstantLink() : GDeviceIO(GPortRef(L"fuzz-instant-link", L"fuzz", L"", nullptr, 0)) {}

    int32_t Open(void *) override { return 0; }
    int32_t Close() override { return 0; }
    int32_t ClearIO() override { return 0; }
    int32_t SetIOPriority(PriorityLevel level) override { return level; }
    int32_t Write(const uint8_t *bytes, int32_t *count) override {
        ++writes;
        if (answer)
            answer(bytes, *count);
        return 0;
    }

    Answer answer;
    int32_t writes = 0;
};

// One blob the builder put on the wire, whole: where it lies in the bytes.
struct SentBlob {
    size_t offset;
    size_t size;
    bool checksumHolds;
};

// Unit-side bytes built from the input. Blobs come out with their true
// length byte; raw bytes (any at all) make the boundaries unknown from there
// on, and the targets then check only what holds for any stream.
class Wire {
  public:
    Bytes bytes;
    std::vector<SentBlob> blobs; // in order, up to the first raw bytes
    bool unframed = false;

    const uint8_t *At(const SentBlob &blob) const { return bytes.data() + blob.offset; }

    // A blob of `type` with `bodySize` bytes after the 4-byte header (the
    // body is copied from `body`, or zeros when it is null); the checksum
    // holds unless `breakChecksum`.
    void AddBlob(uint8_t type, const uint8_t *body, size_t bodySize, bool breakChecksum) {
        const size_t at = bytes.size();
        bytes.resize(at + Blob::kHeaderSize + bodySize);
        uint8_t *blob = bytes.data() + at;
        blob[0] = type;
        blob[1] = static_cast<uint8_t>(Blob::kHeaderSize + bodySize);
        blob[2] = 0x5A;
        if (body != nullptr && bodySize > 0)
            std::memcpy(blob + Blob::kHeaderSize, body, bodySize);
        blob[Blob::kChecksumOffset] = static_cast<uint8_t>(BlobChecksum(blob) + (breakChecksum ? 1 : 0));
        if (!unframed)
            blobs.push_back({at, Blob::kHeaderSize + bodySize, !breakChecksum});
    }
    void AddBlob(uint8_t type, const Bytes &body, bool breakChecksum) {
        AddBlob(type, body.data(), body.size(), breakChecksum);
    }
    void Response(uint8_t type, uint8_t echo, uint8_t signature, const uint8_t *payload, size_t size,
                  bool breakChecksum) {
        uint8_t body[Blob::kMaxLength];
        body[0] = echo;
        body[1] = signature;
        if (size > 0)
            std::memcpy(body + 2, payload, size);
        AddBlob(type, body, 2 + size, breakChecksum);
    }
    void Response(uint8_t type, uint8_t echo, uint8_t signature, const Bytes &payload, bool breakChecksum) {
        Response(type, echo, signature, payload.data(), payload.size(), breakChecksum);
    }
    void InitResponse(uint8_t signature) {
        Response(0xB8, Blob::kCmdInit, signature, Blob::kInitResponsePattern, Blob::kInitPatternLength, false);
    }
    void Raw(const uint8_t *raw, size_t size) {
        bytes.insert(bytes.end(), raw, raw + size);
        if (size > 0)
            unframed = true;
    }
    void Raw(const Bytes &raw) { Raw(raw.data(), raw.size()); }

    // One step chosen by the input, for a wire whose replies should carry
    // `echo` and `signature` (the fuzzer may keep or replace each):
    //   op & 3 == 0  raw bytes
    //   op & 3 == 1  a response blob: its flags, class, echo and signature
    //   op & 3 == 2  a measurement blob: mask, samples per channel, words
    //   op & 3 == 3  any blob: type and body as they come
    // A further byte breaks the checksum (bit 0) and, for responses, takes
    // the payload from `payload` (bit 1) instead of the input.
    void Step(Input &in, uint8_t echo, uint8_t signature, uint8_t (*payload)(size_t) = nullptr) {
        const uint8_t op = in.Byte();
        switch (op & 3) {
        case 0:
            Raw(in.Take(1 + in.Byte() % 32));
            break;
        case 1: {
            static constexpr uint8_t kFlags[] = {0, Blob::kFlagError, Blob::kFlagFirst, Blob::kFlagLast};
            const uint8_t type = static_cast<uint8_t>(((op & 0x20) ? Blob::kClassInitResponse : Blob::kClassResponse) |
                                                      kFlags[(op >> 2) & 3] | ((op & 0x10) ? Blob::kFlagLast : 0));
            const uint8_t e = (op & 0x40) ? echo : in.Byte();
            const uint8_t s = (op & 0x80) ? signature : in.Byte();
            const uint8_t mode = in.Byte();
            const size_t size = in.Byte() % (Blob::kMaxResponsePayload + 1);
            uint8_t body[Blob::kMaxResponsePayload];
            for (size_t i = 0; i < size; ++i)
                body[i] = ((mode & 2) && payload) ? payload(i) : in.Byte();
            Response(type, e, s, body, size, mode & 1);
            break;
        }
        case 2: {
            const uint8_t mask = in.Byte();
            const uint8_t perChannel = in.Byte() % 16;
            int channels = 0;
            for (int bit = 0; bit < 8; ++bit)
                channels += (mask >> bit) & 1;
            const size_t words = static_cast<size_t>(perChannel) * channels;
            Bytes body = {0, 0, mask, perChannel};
            if (Blob::kMeasurementHeaderSize + 2 * words <= static_cast<size_t>(Blob::kMaxLength)) {
                const Bytes samples = in.Take(2 * words);
                body.insert(body.end(), samples.begin(), samples.end());
            }
            AddBlob(static_cast<uint8_t>(Blob::kClassMeasurement | (op >> 3 & 0x1F)), body, in.Byte() & 1);
            break;
        }
        default: {
            const uint8_t type = in.Byte();
            const Bytes body = in.Take(in.Byte() % (Blob::kMaxLength - Blob::kHeaderSize + 1));
            AddBlob(type, body, in.Byte() & 1);
            break;
        }
        }
    }
};

// Hands `bytes` to a reader callback in deliveries whose sizes cycle through
// `cuts` (each 1 + cut; a cut of 0 delivers the rest at once).
template <typename Deliver> void DeliverInPieces(const Bytes &bytes, const Bytes &cuts, Deliver &&deliver) {
    size_t pos = 0;
    size_t turn = 0;
    while (pos < bytes.size()) {
        const uint8_t cut = cuts.empty() ? 0 : cuts[turn++ % cuts.size()];
        const size_t n = cut == 0 ? bytes.size() - pos : std::min<size_t>(cut + 1u, bytes.size() - pos);
        deliver(bytes.data() + pos, static_cast<int32_t>(n));
        pos += n;
    }
}

// The input's delivery pattern: 1 to 4 cut sizes.
inline Bytes ReadCuts(Input &in) {
    return in.Take(1 + in.Byte() % 4);
}

} // namespace fuzz
