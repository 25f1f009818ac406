// Makes the seed inputs of the fuzz targets from the simulated unit's real
// traffic (the init exchange, data-sheet reads, a stream, a large memory read
// and a memory write) and from the trouble cases the unit tests know (garbage
// before the init response, broken checksums, blobs shorter than their header,
// overlapping and late replies, names without terminators), and SDP answers
// as a unit's server sends them. Each seed is written in its target's input
// format.
//   make_fuzz_corpus OUTPUT_DIR   (OUTPUT_DIR/<target>/seed-<name>)
// The seeds are then minimised into tests/fuzz/corpus with libFuzzer's -merge=1
// (scripts/fuzz --remake-corpus).
#include "BlobFormat.h"
#include "SimUnit.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

// A simulated unit whose every delivered byte is recorded.
class RecordedUnit {
  public:
    RecordedUnit() {
        m_unit.SetDeliver([this](const uint8_t *bytes, size_t count) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_received.insert(m_received.end(), bytes, bytes + count);
        });
        m_unit.Connect();
    }
    ~RecordedUnit() { m_unit.Disconnect(); }

    // Sends a command; returns everything the unit sent until it fell quiet
    // for `quietMs` (or `forMs` passed), and the command's signature.
    Bytes Exchange(uint8_t cmd, const Bytes &params, uint8_t &signature, int quietMs = 150, int forMs = 0) {
        uint8_t frame[Blob::kMaxLength];
        signature = m_counter--;
        const int32_t length =
            BuildCommandBlob(frame, cmd, signature, params.data(), static_cast<int32_t>(params.size()));
        m_unit.Receive(frame, static_cast<size_t>(length));
        size_t seen = 0;
        auto quietSince = std::chrono::steady_clock::now();
        const auto start = quietSince;
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const auto now = std::chrono::steady_clock::now();
            size_t size;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                size = m_received.size();
            }
            if (size != seen) {
                seen = size;
                quietSince = now;
            }
            if (forMs > 0 ? now - start > std::chrono::milliseconds(forMs)
                          : now - quietSince > std::chrono::milliseconds(quietMs))
                break;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        Bytes out;
        out.swap(m_received);
        return out;
    }

    sim::SimUnit &Unit() { return m_unit; }

  private:
    sim::SimUnit m_unit{"12345"};
    std::mutex m_mutex;
    Bytes m_received;
    uint8_t m_counter = 0xFF;
};

// Cuts a framed byte stream into its blobs.
std::vector<Bytes> Blobs(const Bytes &stream) {
    std::vector<Bytes> blobs;
    size_t pos = 0;
    while (pos + Blob::kHeaderSize <= stream.size()) {
        const size_t length = std::max<size_t>(stream[pos + Blob::kLengthOffset], Blob::kHeaderSize);
        if (pos + length > stream.size())
            break;
        blobs.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(pos),
                           stream.begin() + static_cast<std::ptrdiff_t>(pos + length));
        pos += length;
    }
    return blobs;
}

Bytes Payload(const std::vector<Bytes> &blobs) {
    Bytes payload;
    for (const Bytes &blob : blobs)
        if ((blob[0] & Blob::kClassMask) == Blob::kClassResponse)
            payload.insert(payload.end(), blob.begin() + Blob::kResponseHeaderSize, blob.end());
    return payload;
}

// A writer of one target's input.
struct Seed {
    Bytes bytes;
    Seed &Byte(uint8_t b) {
        bytes.push_back(b);
        return *this;
    }
    Seed &U16(uint16_t v) { return Byte(static_cast<uint8_t>(v)).Byte(static_cast<uint8_t>(v >> 8)); }
    Seed &Add(const Bytes &more) {
        bytes.insert(bytes.end(), more.begin(), more.end());
        return *this;
    }
    // A wire step (FuzzSupport.h Wire::Step) that sends `blob` as it is:
    // response blobs as responses whose echo and signature the target fills
    // in, any other as an "any blob" step.
    Seed &Step(const Bytes &blob, bool asIs = false) {
        const uint8_t type = blob[0];
        const uint8_t blobClass = type & Blob::kClassMask;
        if (!asIs && (blobClass == Blob::kClassResponse || blobClass == Blob::kClassInitResponse) &&
            blob.size() >= static_cast<size_t>(Blob::kResponseHeaderSize)) {
            const uint8_t flags = (type & Blob::kFlagError) ? 1 : (type & Blob::kFlagFirst) ? 2 : 0;
            Byte(static_cast<uint8_t>(1 | flags << 2 | ((type & Blob::kFlagLast) ? 0x10 : 0) |
                                      (blobClass == Blob::kClassInitResponse ? 0x20 : 0) | 0x40 | 0x80));
            Byte(0); // checksum holds, payload from here
            Byte(static_cast<uint8_t>(blob.size() - Blob::kResponseHeaderSize));
            return Add(Bytes(blob.begin() + Blob::kResponseHeaderSize, blob.end()));
        }
        Byte(3).Byte(type).Byte(static_cast<uint8_t>(blob.size() - Blob::kHeaderSize));
        Add(Bytes(blob.begin() + Blob::kHeaderSize, blob.end()));
        return Byte(BlobChecksum(blob.data()) == blob[Blob::kChecksumOffset] ? 0 : 1);
    }
};

void Write(const fs::path &dir, const std::string &target, const std::string &name, const Seed &seed) {
    fs::create_directories(dir / target);
    std::ofstream out(dir / target / ("seed-" + name), std::ios::binary);
    out.write(reinterpret_cast<const char *>(seed.bytes.data()), static_cast<std::streamsize>(seed.bytes.size()));
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    const fs::path out = argv[1];

    // The real traffic.
    RecordedUnit unit;
    uint8_t signature = 0;
    const Bytes init = unit.Exchange(Blob::kCmdInit, {}, signature);
    std::vector<Bytes> sheets;
    std::vector<std::vector<Bytes>> sheetReplies;
    for (uint8_t channel : {1, 2, 3, 4, 5, 6, 7}) {
        const Bytes reply = unit.Exchange(Blob::kCmdReadNonVolatileMemory, {channel, 0, 0, 0, 0, 128, 0}, signature);
        sheetReplies.push_back(Blobs(reply));
        sheets.push_back(Payload(sheetReplies.back()));
    }
    const Bytes period = unit.Exchange(Blob::kCmdGetMeasurementPeriod, {}, signature);
    unit.Unit().SetStreamMask(0xFE); // channels 1 to 7
    unit.Exchange(Blob::kCmdSetMeasurementPeriod, {5, 0, 0, 0}, signature);
    const Bytes stream = unit.Exchange(Blob::kCmdStartMeasurements, {}, signature, 0, 300);
    unit.Exchange(Blob::kCmdStopMeasurements, {}, signature);
    const Bytes large = unit.Exchange(Blob::kCmdReadNonVolatileMemory, {0xFF, 0, 0, 0, 0, 0x00, 0x60}, signature);
    const Bytes written = unit.Exchange(Blob::kCmdWriteNonVolatileMemory, {0xFF, 0x10, 0, 0, 0, 3, 1, 2, 3}, signature);
    std::vector<Bytes> streamBlobs = Blobs(stream);
    const std::vector<Bytes> largeBlobs = Blobs(large);
    const std::vector<Bytes> periodBlobs = Blobs(period);
    const std::vector<Bytes> writtenBlobs = Blobs(written);
    if (init.size() != static_cast<size_t>(Blob::kInitResponseLength) || sheets[0].size() != 128 ||
        streamBlobs.size() < 2 || Payload(largeBlobs).size() != 0x6000 || writtenBlobs.empty()) {
        std::fprintf(stderr, "make_fuzz_corpus: the simulated unit did not answer as expected\n");
        return 1;
    }
    const Bytes &firstMeasurement = streamBlobs[1]; // [0] answers the start command

    // fuzz_product_reader: setup, capacity, cuts, garbage, three sheets, then
    // the stream with reads in between.
    {
        const auto reader = [&](uint8_t capacity, Bytes cuts, Bytes garbage, int sheetMode, size_t blobs) {
            Seed seed;
            seed.Byte(0).Byte(capacity).Byte(static_cast<uint8_t>(cuts.size() - 1)).Add(cuts);
            seed.Byte(static_cast<uint8_t>(garbage.size())).Add(garbage);
            for (size_t i : {0, 1, 6}) {
                seed.Byte(static_cast<uint8_t>(sheetMode));
                if (sheetMode == 1)
                    seed.Add(sheets[i]);
            }
            for (size_t i = 0; i < blobs && i < streamBlobs.size(); i += 3) {
                seed.Byte(0).Byte(1).Byte(0).Byte(
                    static_cast<uint8_t>(std::min<size_t>(3, streamBlobs.size() - i) - 1));
                for (size_t k = i; k < i + 3 && k < streamBlobs.size(); ++k)
                    seed.Step(streamBlobs[k], true);
                seed.Byte(2).Byte(static_cast<uint8_t>(i % 8)).Byte(7); // read a few of one channel
            }
            seed.Byte(3).Byte(7); // the latest of channel 7
            return seed;
        };
        Write(out, "fuzz_product_reader", "stream", reader(64, {0}, {}, 1, 30));
        Write(out, "fuzz_product_reader", "stream-bytewise", reader(5, {0, 254, 16}, {}, 1, 12));
        Write(out, "fuzz_product_reader", "garbage-before-init",
              reader(16, {3}, {0x00, 0xB8, 0x1A, 0x55, 0xAA, 0xFF}, 1, 6));
        Write(out, "fuzz_product_reader", "sheet-error", reader(16, {0}, {}, 2, 6));
        // A blob with a broken checksum and a measurement blob shorter than
        // its header, between sound ones.
        Seed trouble = reader(8, {1}, {}, 1, 3);
        Bytes broken = firstMeasurement;
        ++broken[Blob::kChecksumOffset];
        Bytes shortBlob = {0x20, 5, 0, 0, 0x7E};
        shortBlob[Blob::kChecksumOffset] = BlobChecksum(shortBlob.data());
        trouble.Byte(0).Byte(1).Byte(0).Byte(2).Step(broken, true).Step(shortBlob, true).Step(firstMeasurement, true);
        trouble.Byte(2).Byte(1).Byte(255);
        Write(out, "fuzz_product_reader", "broken-and-short", trouble);
    }

    // fuzz_response_wait: setup, cuts, then steps.
    {
        Seed seed;
        seed.Byte(0).Byte(0).Byte(0);
        // The period read as it came, then a wait with nothing queued.
        seed.Byte(1).Byte(Blob::kCmdGetMeasurementPeriod).Byte(0).Byte(8).Byte(0).Byte(0);
        for (const Bytes &blob : periodBlobs)
            seed.Step(blob);
        seed.Byte(2).Byte(16).Byte(0);
        // A data-sheet read whose reply first waits in the ring.
        seed.Byte(3).Byte(Blob::kCmdReadNonVolatileMemory).Byte(static_cast<uint8_t>(sheetReplies[0].size() - 1));
        for (const Bytes &blob : sheetReplies[0])
            seed.Step(blob);
        seed.Byte(6).Byte(200).Byte(0);
        Write(out, "fuzz_response_wait", "period-and-sheet", seed);

        // Overlapping replies, an error blob, a reply too short for its
        // header, then a reply larger than the buffer.
        Seed trouble;
        trouble.Byte(0).Byte(1).Byte(7).Byte(50);
        trouble.Byte(1).Byte(0x27).Byte(0).Byte(40).Byte(5).Byte(3);
        trouble.Step(sheetReplies[1][0]).Step(sheetReplies[1][0]);
        trouble.Step({0x84, 7, 0, 0, 0x27, 0, 3});
        trouble.Step({0x98, 4, 0, 0x9C}, true);
        trouble.Byte(1).Byte(0x1C).Byte(0).Byte(2).Byte(0).Byte(0);
        trouble.Step(periodBlobs[0]);
        Write(out, "fuzz_response_wait", "overlap-error-short-cut", trouble);
    }

    // fuzz_memory_transfer: setup, cuts, then reads and writes.
    {
        const size_t cut = largeBlobs[0].size() - Blob::kResponseHeaderSize;
        const auto read = [&](Seed &seed, uint8_t block, uint16_t count, uint8_t mode, uint16_t at) {
            seed.Byte(0).Byte(block).U16(0);
            if (count % 4 == 0 && count < 1024)
                seed.Byte(mode).Byte(static_cast<uint8_t>(count / 4));
            else
                seed.Byte(static_cast<uint8_t>(mode | 0x30)).U16(count);
            seed.Byte(0).Byte(static_cast<uint8_t>(cut - 1));
            seed.U16(at).Byte(10);
        };
        Seed large;
        large.Byte(0).Byte(0).Byte(0);
        read(large, 0xFF, 0x6000, 0, 0);
        Write(out, "fuzz_memory_transfer", "large-read", large);
        Seed sheet;
        sheet.Byte(0).Byte(0).Byte(0);
        read(sheet, 1, 128, 0, 0);
        Write(out, "fuzz_memory_transfer", "sheet-read", sheet);
        Seed faults;
        faults.Byte(0).Byte(1).Byte(60).Byte(200);
        for (uint8_t fault = 1; fault < 4; ++fault)
            read(faults, 0xFF, 600, fault, fault);
        Write(out, "fuzz_memory_transfer", "lost-broken-swapped", faults);
        Seed faults2;
        faults2.Byte(0).Byte(0).Byte(0);
        for (uint8_t fault = 4; fault < 8; ++fault)
            read(faults2, 0xFF, 300, fault, 2);
        Write(out, "fuzz_memory_transfer", "longer-signature-stale-after", faults2);
        // A reply whose last blob came before a middle one, then a write
        // answered soundly: the stray middle blob must not fail the write.
        Seed stray;
        stray.Byte(0).Byte(0).Byte(0);
        read(stray, 0xFF, 600, 3, 1);
        stray.Byte(1).Byte(0xFF).U16(0x58).Byte(2).Add({3, 0, 0xF8, 3, 0xED, 0xED}).Byte(10).Byte(0);
        Write(out, "fuzz_memory_transfer", "stray-blob-after-whole-reply", stray);
        // The reply as the unit cut it, step by step.
        Seed steps;
        steps.Byte(0).Byte(0).Byte(0);
        steps.Byte(0).Byte(1).U16(0).Byte(0x80).Byte(32).Byte(0).Byte(0).U16(0);
        steps.Byte(static_cast<uint8_t>(sheetReplies[0].size() - 1));
        for (const Bytes &blob : sheetReplies[0])
            steps.Step(blob);
        steps.Byte(10);
        Write(out, "fuzz_memory_transfer", "sheet-steps", steps);
        // A write of three chunks, acknowledged as the unit does.
        Seed write;
        write.Byte(0).Byte(0).Byte(0);
        write.Byte(1).Byte(0xFF).U16(0x100).Byte(200);
        for (int i = 0; i < 600; ++i)
            write.Byte(static_cast<uint8_t>(i));
        write.Byte(10).Byte(0).Byte(0).Byte(0);
        Write(out, "fuzz_memory_transfer", "write", write);
    }

    // fuzz_dds_record: mode, the record, a voltage.
    for (size_t i = 0; i < sheets.size(); ++i) {
        Seed seed;
        seed.Byte(static_cast<uint8_t>(i % 2)).Add(sheets[i]).Add({0, 0, 0, 0, 0, 0, 0xF4, 0x3F});
        Write(out, "fuzz_dds_record", "sheet-" + std::to_string(i + 1), seed);
    }

    // fuzz_dds_accessors: channel, the record, then calls.
    for (size_t i = 2; i < sheets.size(); ++i) {
        Seed seed;
        seed.Byte(static_cast<uint8_t>(i - 2)).Add(sheets[i]);
        seed.Byte(0).Byte(40).Byte(8).Byte(5).Byte(1).Byte(30).Byte(0).Byte(1).Byte(9).Byte(3);
        seed.Byte(2).Byte(0).Byte(3).Byte(0).U16(0x9000).Byte(4).Byte(0);
        Write(out, "fuzz_dds_accessors", "sheet-" + std::to_string(i + 1), seed);
    }
    {
        // Texts without terminators, pages out of range.
        Seed seed;
        Bytes record = sheets[2];
        for (size_t k = 8; k < 40; ++k)
            record[k] = 'A';
        record[68] = 9;
        record[69] = 200;
        seed.Byte(0).Add(record).Byte(0).Byte(47).Byte(8).Byte(3).Byte(1).Byte(7).Byte(3).Byte(3).Byte(0).U16(0x8000);
        Write(out, "fuzz_dds_accessors", "unterminated-pages-out-of-range", seed);
    }

    // fuzz_stack_search: the unit's name and address in each stack's record.
    {
        const std::string name = unit.Unit().Name();
        const auto address = unit.Unit().BluetoothAddress();
        Bytes serial(name.begin() + 11, name.end());
        Seed microsoft;
        microsoft.Byte(0).Byte(2).Byte(3);
        Bytes record(560, 0);
        record[0] = 0x30;
        record[1] = 0x02;
        for (int k = 0; k < 6; ++k)
            record[8 + k] = address[5 - k];
        microsoft.Add(record).Byte(static_cast<uint8_t>(serial.size())).Add(serial);
        Bytes other(560, 0x41); // a name of 248 characters without terminator
        microsoft.Byte(0).Add(other);
        Write(out, "fuzz_stack_search", "microsoft", microsoft);
        Seed widcomm;
        widcomm.Byte(1).Byte(3).Byte(3);
        Bytes shimRecord(260, 0);
        for (int k = 0; k < 6; ++k)
            shimRecord[4 + k] = address[5 - k];
        shimRecord[10] = 1;
        widcomm.Add(shimRecord).Byte(static_cast<uint8_t>(serial.size())).Add(serial);
        widcomm.Byte(4);                              // a null record
        widcomm.Byte(1).Add(Bytes(260, 'Q')).Byte(0); // a unit name running to the record's end
        widcomm.Byte(5);                              // more records counted than there are
        Write(out, "fuzz_stack_search", "widcomm", widcomm);
    }
    // fuzz_sdp_response: raw PDUs (transaction and length made right) and
    // answers the target builds.
    {
        // The serial port on RFCOMM channel 1, in one response.
        const Bytes whole = {0x07, 0x00, 0x01, 0x00, 0x20, 0x00, 0x1D, 0x35, 0x1B, 0x35, 0x19, 0x09, 0x00,
                             0x01, 0x35, 0x03, 0x19, 0x11, 0x01, 0x09, 0x00, 0x04, 0x35, 0x0C, 0x35, 0x03,
                             0x19, 0x01, 0x00, 0x35, 0x05, 0x19, 0x00, 0x03, 0x08, 0x01, 0x00};
        const Bytes lists(whole.begin() + 7, whole.end() - 1);
        auto raw = [](std::initializer_list<Bytes> pdus) {
            Seed seed;
            seed.Byte(0x06).U16(1);
            for (const Bytes &pdu : pdus)
                seed.U16(static_cast<uint16_t>(pdu.size())).Add(pdu);
            return seed;
        };
        auto piece = [&](size_t from, size_t to, const Bytes &state) {
            Bytes pdu = {0x07, 0, 0, 0, 0, 0, static_cast<uint8_t>(to - from)};
            pdu.insert(pdu.end(), lists.begin() + static_cast<std::ptrdiff_t>(from),
                       lists.begin() + static_cast<std::ptrdiff_t>(to));
            pdu.push_back(static_cast<uint8_t>(state.size()));
            return Seed().Add(pdu).Add(state).bytes;
        };
        Write(out, "fuzz_sdp_response", "whole", raw({whole}));
        Write(out, "fuzz_sdp_response", "error", raw({{0x01, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03}}));
        Write(out, "fuzz_sdp_response", "in-pieces",
              raw({piece(0, 7, {0x00, 0x07}), piece(7, 20, {0x00, 0x14}), piece(20, lists.size(), {})}));
        Seed built;
        built.Byte(1).Byte(3);
        for (uint8_t shape : {0x01, 0x00, 0x32})
            built.Byte(shape).Byte(shape == 0 ? 5 : 9).Byte(0).Byte(1).Byte(2).Byte(4).Byte(3).Add({'S', 'P', 'P'});
        built.U16(7).Byte(3).Byte(2).Byte(0x20).Byte(16).Add(Bytes(16, 0xEE)).Byte(255);
        Write(out, "fuzz_sdp_response", "built", built);
    }
    std::printf("seeds written to %s\n", out.string().c_str());
    return 0;
}
