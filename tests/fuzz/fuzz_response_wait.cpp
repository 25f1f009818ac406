// libFuzzer target: the response wait and its reassembly. After a real init
// exchange the input runs a sequence of steps: blobs that arrive while nobody
// waits (they go to the response ring), commands whose answers arrive during
// the write (first, middle, last and error blobs, wrong signatures and
// echoes, broken checksums, raw bytes), waits on whatever the ring holds, and
// commands sent without a wait. Checked after every step: no reply is
// accepted without a first blob whose checksum holds and which carries the
// command's echo and signature, a reply never outgrows the caller's buffer
// nor touches the bytes past what it reports, and the rings stay sound.
#include "FuzzSources.h"

#include "GUtils.h"

#include <cstring>
#include <memory>
#include <set>
#include <utility>

using namespace fuzz;

namespace {

using Source = Harnessed<TickedBlobSource>;

// The headers (echo, signature) of the first blobs whose checksum holds that
// reached the source, while every byte is accounted for.
struct Seen {
    std::set<std::pair<uint8_t, uint8_t>> headers;
    bool unknown = false; // raw bytes went out: blob boundaries are not known

    void Add(const Wire &wire) {
        for (const SentBlob &sent : wire.blobs) {
            const uint8_t *blob = wire.At(sent);
            const uint8_t type = blob[Blob::kTypeOffset];
            const uint8_t blobClass = type & Blob::kClassMask;
            if (!sent.checksumHolds || (blobClass != Blob::kClassResponse && blobClass != Blob::kClassInitResponse))
                continue;
            if ((type & Blob::kFlagFirst) && !(type & Blob::kFlagError) &&
                sent.size >= static_cast<size_t>(Blob::kResponseHeaderSize))
                headers.insert({blob[Blob::kResponseCmdOffset], blob[Blob::kResponseSignatureOffset]});
        }
        unknown = unknown || wire.unframed;
    }
    bool Delivered(uint8_t echo, uint8_t signature) const { return unknown || headers.count({echo, signature}) > 0; }
};

// A caller's buffer of exactly `capacity` bytes, filled with a mark so that
// a write past what an accepted reply reports shows.
struct Buffer {
    explicit Buffer(int32_t capacity) : size(capacity), bytes(new uint8_t[capacity > 0 ? capacity : 1]) {
        std::memset(bytes.get(), 0xE7, static_cast<size_t>(capacity > 0 ? capacity : 1));
    }
    void CheckWithin(int32_t stored) const {
        Require(stored >= 0 && stored <= size, "a reply stores within the caller's capacity");
    }
    // An accepted reply wrote only what it reports (an error blob replaces
    // what came before it, and a failed one may leave a part).
    void CheckUntouchedFrom(int32_t stored) const {
        for (int32_t i = stored; i < size; ++i)
            Require(bytes[i] == 0xE7, "nothing is written past the reported size");
    }
    int32_t size;
    std::unique_ptr<uint8_t[]> bytes;
};

Wire BuildWire(Input &in, uint8_t echo, uint8_t signature) {
    Wire wire;
    const int steps = 1 + in.Byte() % 6;
    for (int i = 0; i < steps && !in.Empty(); ++i)
        wire.Step(in, echo, signature);
    return wire;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in(data, size);
    const uint8_t setup = in.Byte();
    RouteTraces(setup & 1);
    Source source(1, 16, setup & 2);
    Require(source.attached, "the source attaches");
    Require(source.Connect(), "a prompt init response aligns the reader");
    Seen seen;
    const Bytes cuts = ReadCuts(in);

    while (!in.Empty()) {
        const uint8_t op = in.Byte();
        switch (op % 4) {
        case 0: { // blobs while nobody waits
            const Wire wire = BuildWire(in, in.Byte(), source.NextSignature());
            seen.Add(wire);
            DeliverInPieces(wire.bytes, cuts, [&](const uint8_t *p, int32_t n) { source.Feed(p, n); });
            break;
        }
        case 1: { // a command and its answer, arriving during the write
            const uint8_t cmd = in.Byte();
            if (cmd == Blob::kCmdInit)
                break; // realigning is the reader target's
            const Bytes params = in.Take(in.Byte() % 8);
            Buffer dst(in.Byte());
            const bool giveUp = op & 4; // one look, as when the stop flag is up
            const uint32_t timeoutMs = in.Byte() % 64;
            const uint8_t signature = source.NextSignature();
            const Wire wire = BuildWire(in, cmd, signature);
            seen.Add(wire);
            TheLink().answer = [&](const uint8_t *, int32_t) {
                DeliverInPieces(wire.bytes, cuts, [&](const uint8_t *p, int32_t n) { source.Feed(p, n); });
            };
            int32_t stored = dst.size;
            const bool stop = giveUp;
            const int32_t result = source.SendCmdAndGetResponse(cmd, params.data(), static_cast<int32_t>(params.size()),
                                                                dst.bytes.get(), &stored, timeoutMs, &stop);
            TheLink().answer = nullptr;
            dst.CheckWithin(stored);
            if (result == 0) {
                dst.CheckUntouchedFrom(stored);
                Require(seen.Delivered(cmd, signature), "a reply is accepted only with its echo and signature");
            }
            break;
        }
        case 2: { // a wait on what the ring holds
            Buffer dst(in.Byte());
            int32_t stored = dst.size;
            uint8_t echo = 0x77;
            uint8_t errorFlag = 0x77;
            const int32_t expected = static_cast<uint8_t>(source.NextSignature() + 1 + in.Byte() % 4);
            const bool stop = true;
            const int32_t result = source.GetNextResponse(dst.bytes.get(), &stored, &echo, &errorFlag,
                                                          (op & 4) ? &expected : nullptr, 0, &stop);
            dst.CheckWithin(stored);
            if (result == 0 && errorFlag == 0)
                dst.CheckUntouchedFrom(stored);
            Require(errorFlag <= 1, "the error flag is 0 or 1");
            if (result == 0 && (op & 4) && errorFlag == 0)
                Require(seen.Delivered(echo, static_cast<uint8_t>(expected)),
                        "a reply with an expected signature carries it");
            break;
        }
        default: { // a command without a wait: its answer waits in the ring
            const uint8_t cmd = in.Byte();
            if (cmd == Blob::kCmdInit)
                break;
            const Wire wire = BuildWire(in, cmd, source.NextSignature());
            seen.Add(wire);
            TheLink().answer = [&](const uint8_t *, int32_t) {
                DeliverInPieces(wire.bytes, cuts, [&](const uint8_t *p, int32_t n) { source.Feed(p, n); });
            };
            int32_t signature = -1;
            Require(source.SendCmd(cmd, nullptr, 0, &signature) == 0, "a command goes out");
            TheLink().answer = nullptr;
            break;
        }
        }
        Require(source.ResponseRing()->GetCount() <= GMBLBlobSource::kResponseRingCapacity,
                "the response ring holds no more than its capacity");
    }
    source.CheckRings();
    return 0;
}
