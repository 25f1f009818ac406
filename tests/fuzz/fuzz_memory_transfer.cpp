// libFuzzer target: the non-volatile memory transfer's handling of replies.
// Reads get a reply built from the input: the whole reply cut into blobs of
// sizes the input chooses, then changed as a faulty link or unit would (a blob
// lost, a checksum broken, two blobs swapped, bytes beyond the request, a
// wrong signature, a stale reply in front, bytes after it), or a reply made
// step by step from the input. Writes get an acknowledgement per chunk, sound
// or not. Checked: an intact reply, however cut, is accepted with exactly its
// bytes; a reply missing a blob never is; an accepted read holds the reply's
// bytes and no stale ones; an accepted write sent every byte, in order.
#include "FuzzSources.h"

#include "GUtils.h"

#include <memory>

using namespace fuzz;

namespace {

using Source = Harnessed<TickedBlobSource>;

// The reply's bytes (below 0x80) and those of stale replies (0x80 and up), so
// that a read shows whose bytes it took.
uint8_t ReplyByte(size_t i) {
    return static_cast<uint8_t>((i * 37 + i / 128) & 0x7F);
}
uint8_t StaleByte(size_t i) {
    return static_cast<uint8_t>(0x80 | (i & 0x7F));
}

enum class Fault : uint8_t { None, Lost, BrokenChecksum, Swapped, Longer, WrongSignature, StaleFirst, After, Count };

// The blobs of a reply of `count` payload bytes, each with at most the size
// the cuts give (1 to 249).
std::vector<Bytes> ReplyBlobs(size_t count, uint8_t signature, const Bytes &cuts, uint8_t (*byteAt)(size_t)) {
    std::vector<Bytes> payloads;
    size_t pos = 0;
    size_t turn = 0;
    do {
        // At most about 128 blobs: a whole memory in one-byte blobs would
        // only slow the fuzzer down without reaching other code.
        const size_t fewest = (count + 127) / 128;
        const size_t cut =
            std::max<size_t>(fewest, 1 + (cuts.empty() ? 248 : cuts[turn++ % cuts.size()] % Blob::kMaxResponsePayload));
        const size_t n = std::min(cut, count - pos);
        Bytes payload;
        for (size_t i = 0; i < n; ++i)
            payload.push_back(byteAt(pos + i));
        payloads.push_back(payload);
        pos += n;
    } while (pos < count);
    std::vector<Bytes> blobs;
    for (size_t i = 0; i < payloads.size(); ++i) {
        const uint8_t type = static_cast<uint8_t>(Blob::kClassResponse | (i == 0 ? Blob::kFlagFirst : 0) |
                                                  (i + 1 == payloads.size() ? Blob::kFlagLast : 0));
        Wire one;
        one.Response(type, Blob::kCmdReadNonVolatileMemory, signature, payloads[i], false);
        blobs.push_back(one.bytes);
    }
    return blobs;
}

// `settled` stays true while every reply so far left the framing and the
// ring as a sound exchange leaves them; only then is the outcome of the next
// one known in advance.
void Read(Source &source, Input &in, const Bytes &cuts, bool &settled) {
    const uint8_t block = in.Byte();
    const uint32_t address = in.U16();
    // Mostly short reads; with bits 4 and 5 of the mode up to a whole memory.
    const uint8_t mode = in.Byte();
    const bool large = (mode & 0x30) == 0x30;
    const int32_t count = large ? in.U16() % 0x6001 : in.Byte() * 4;
    const Fault fault = static_cast<Fault>(mode % static_cast<uint8_t>(Fault::Count));
    const bool scripted = mode & 0x80;
    const uint8_t signature = source.NextSignature();
    const Bytes replyCuts = ReadCuts(in);
    const size_t at = in.U16();

    Wire wire;
    bool intact = false; // every blob of the reply, in order, whose checksums hold
    bool incomplete = false;
    if (scripted) {
        const int steps = 1 + in.Byte() % 8;
        for (int i = 0; i < steps && !in.Empty(); ++i)
            wire.Step(in, Blob::kCmdReadNonVolatileMemory, signature, &ReplyByte);
    } else {
        std::vector<Bytes> blobs = ReplyBlobs(static_cast<size_t>(count), signature, replyCuts, &ReplyByte);
        Bytes &chosen = blobs[at % blobs.size()];
        switch (fault) {
        case Fault::None:
            intact = true;
            break;
        case Fault::Lost:
            blobs.erase(blobs.begin() + static_cast<std::ptrdiff_t>(at % blobs.size()));
            incomplete = true;
            break;
        case Fault::BrokenChecksum:
            ++chosen[Blob::kChecksumOffset];
            incomplete = true;
            break;
        case Fault::Swapped:
            if (blobs.size() > 1)
                std::swap(blobs[at % (blobs.size() - 1)], blobs[at % (blobs.size() - 1) + 1]);
            break;
        case Fault::Longer: {
            // The last blob brings more than was asked for, up to a full blob.
            Bytes &last = blobs.back();
            const size_t extra = std::min<size_t>(1 + at % 64, Blob::kMaxLength - last.size());
            for (size_t i = 0; i < extra; ++i)
                last.push_back(ReplyByte(static_cast<size_t>(count) + i));
            last[Blob::kLengthOffset] = static_cast<uint8_t>(last.size());
            last[Blob::kChecksumOffset] = BlobChecksum(last.data());
            intact = true;
            break;
        }
        case Fault::WrongSignature:
            blobs.front()[Blob::kResponseSignatureOffset] = static_cast<uint8_t>(signature + 1 + at % 255);
            blobs.front()[Blob::kChecksumOffset] = BlobChecksum(blobs.front().data());
            incomplete = true;
            break;
        case Fault::StaleFirst: {
            // A whole reply of another command comes first.
            const uint8_t other = static_cast<uint8_t>(signature + 1 + at % 255);
            std::vector<Bytes> stale = ReplyBlobs(1 + at % 300, other, replyCuts, &StaleByte);
            blobs.insert(blobs.begin(), stale.begin(), stale.end());
            break;
        }
        case Fault::After:
        default: {
            const Bytes tail = in.Take(1 + in.Byte() % 64);
            blobs.push_back(tail);
            intact = true;
            break;
        }
        }
        for (const Bytes &blob : blobs)
            wire.Raw(blob);
    }

    TheLink().answer = [&](const uint8_t *, int32_t) {
        DeliverInPieces(wire.bytes, cuts, [&](const uint8_t *p, int32_t n) { source.Feed(p, n); });
    };
    std::unique_ptr<uint8_t[]> dst(new uint8_t[count > 0 ? count : 1]);
    const uint32_t timeoutMs = in.Byte() % 40;
    const bool stop = mode & 0x40; // one look instead of the whole time-out
    const int32_t result = source.ReadNonVolatileMemory(block, dst.get(), address, count, timeoutMs, &stop);
    TheLink().answer = nullptr;

    if (intact && settled)
        Require(result == 0, "an intact reply, however cut, is accepted");
    if (incomplete && settled)
        Require(result != 0, "a reply missing a blob is not accepted");
    if (result == 0 && settled && !scripted && fault != Fault::Swapped)
        for (int32_t i = 0; i < count; ++i)
            Require(dst[i] == ReplyByte(static_cast<size_t>(i)), "an accepted read holds the reply's bytes in order");
    if (result == 0 && scripted && settled && !wire.unframed) {
        bool headed = false;
        for (const SentBlob &sent : wire.blobs) {
            const uint8_t *blob = wire.At(sent);
            headed = headed || (sent.checksumHolds && (blob[Blob::kTypeOffset] & Blob::kFlagFirst) &&
                                (blob[Blob::kTypeOffset] & Blob::kClassResponse) &&
                                sent.size >= static_cast<size_t>(Blob::kResponseHeaderSize) &&
                                blob[Blob::kResponseCmdOffset] == Blob::kCmdReadNonVolatileMemory &&
                                blob[Blob::kResponseSignatureOffset] == signature);
        }
        Require(headed, "an accepted read had a first blob with its echo and signature");
    }
    if (scripted || fault == Fault::After)
        settled = false;
}

void Write(Source &source, Input &in, bool &settled) {
    const uint8_t block = in.Byte();
    const uint32_t address = in.U16();
    const Bytes bytes = in.Take(in.Byte() * 3u);
    const uint32_t timeoutMs = in.Byte() % 40;
    Bytes sent;
    uint32_t nextAddress = address;
    bool ordered = true;
    bool allAcknowledged = true;
    TheLink().answer = [&](const uint8_t *blob, int32_t length) {
        // The chunk: [cmd][block][address (4)][n][n bytes].
        const uint32_t chunkAddress = GetLittleEndian32(blob + Blob::kCommandHeaderSize + 1);
        const uint8_t n = blob[Blob::kCommandHeaderSize + 5];
        ordered = ordered && blob[Blob::kCommandHeaderSize] == block && chunkAddress == nextAddress &&
                  length == Blob::kCommandHeaderSize + Blob::kWriteChunkHeaderSize + n;
        sent.insert(sent.end(), blob + Blob::kCommandHeaderSize + Blob::kWriteChunkHeaderSize,
                    blob + Blob::kCommandHeaderSize + Blob::kWriteChunkHeaderSize + n);
        nextAddress += n;
        Wire wire;
        const uint8_t signature = blob[Blob::kCounterOffset];
        const uint8_t how = in.Byte();
        if (how < 0xC0) {
            wire.Response(0x98, Blob::kCmdWriteNonVolatileMemory, signature, {}, false);
        } else {
            allAcknowledged = false;
            wire.Step(in, Blob::kCmdWriteNonVolatileMemory, signature);
        }
        source.Feed(wire.bytes.data(), static_cast<int32_t>(wire.bytes.size()));
    };
    const int32_t result = source.WriteNonVolatileMemory(block, bytes.data(), address,
                                                         static_cast<int32_t>(bytes.size()), timeoutMs, nullptr);
    TheLink().answer = nullptr;
    if (allAcknowledged && settled)
        Require(result == 0, "a write whose every chunk is acknowledged succeeds");
    settled = settled && allAcknowledged;
    if (result == 0)
        Require(ordered && sent == bytes, "an accepted write sent every byte once, in order");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in(data, size);
    const uint8_t setup = in.Byte();
    RouteTraces(setup & 1);
    Source source(1, 16, false);
    Require(source.attached, "the source attaches");
    Require(source.Connect(), "a prompt init response aligns the reader");
    const Bytes cuts = ReadCuts(in);
    bool settled = true;
    for (int i = 0; i < 4 && !in.Empty(); ++i) {
        if (in.Byte() & 1)
            Write(source, in, settled);
        else
            Read(source, in, cuts, settled);
    }
    source.CheckRings();
    return 0;
}
