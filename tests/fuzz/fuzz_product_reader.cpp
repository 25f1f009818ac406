// libFuzzer target: the product source's reader callback, from the open to a
// stream. The input chooses the channel rings' size, the garbage before the
// init response, the replies to the data-sheet reads of channels 1, 2 and 7
// (a sheet of its own making, sound or not, an error, or blobs step by step),
// and then a stream of blobs cut into deliveries of its chosen sizes, with
// reads of the channels in between.
//
// While every byte is a whole blob of known bounds, each channel ring is
// checked against a bounded queue of what must have been filed: the samples
// of each measurement blob whose checksum holds and whose samples fit, in the
// order they arrived, the newest ones kept when a ring overflows, and on
// channel 7 the merged value of each sample pair of channels 1 and 2 once the
// range is prepared. Whatever the bytes: the rings hold no more than their
// capacity, the response ring only whole response blobs whose checksums hold,
// and the range is prepared only from sheets that pass the strict checks.
#include "FuzzSources.h"

#include "DDSRecord.h"
#include "GMBLSensor.h"
#include "GUtils.h"

#include <cmath>
#include <deque>
#include <memory>

using namespace fuzz;

namespace {

class Source : public Harnessed<GMBLCrashTestDummySource> {
  public:
    using Harnessed::Harnessed;
    // The link is the harness's: a failed open only lets go of it.
    void ReleaseDevice() override { m_device = nullptr; }
    bool Prepared() const { return RangePrepared; }
    int32_t Threshold() const { return RangeThreshold; }
};

constexpr int32_t kChannels = 8;
constexpr int32_t kSheetChannels[] = {1, 2, 7};

// How the unit answers a data-sheet read.
enum class SheetReply : uint8_t { Made, Raw, Error, Steps };

struct Sheet {
    SheetReply reply = SheetReply::Made;
    Bytes bytes; // Made and Raw: the record sent
};

// A record whose calibration pages come from the input; its checksum is made
// to hold unless the input says otherwise.
Sheet ChooseSheet(Input &in) {
    Sheet sheet;
    const uint8_t mode = in.Byte();
    sheet.reply = static_cast<SheetReply>(mode % 4);
    DDSRecord record = MakeFreshRecord();
    if (sheet.reply == SheetReply::Made) {
        record.SetU8(DDSOffset::HighestValidCalPageIndex, in.Byte() % 4);
        record.SetU8(DDSOffset::ActiveCalPage, in.Byte() % 4);
        for (size_t page = 0; page < 2; ++page) {
            for (DDSCalPageField field : {DDSCalPageField::K0, DDSCalPageField::K1}) {
                const Bytes f = in.Take(4);
                record.SetFloat32(CalPageFieldOffset(page, field), ReadFloat32LE(f.data()));
            }
        }
    } else if (sheet.reply == SheetReply::Raw) {
        const Bytes raw = in.Take(kDDSRecordSize);
        record = DDSRecord::FromBytes(raw.data());
    }
    if (!(mode & 4))
        record.SetU8(DDSOffset::Checksum, ComputeChecksum(record));
    sheet.bytes.assign(record.bytes, record.bytes + kDDSRecordSize);
    return sheet;
}

// What each channel ring must hold: a bounded queue per ring, and each ring's
// latest value.
struct Expected {
    explicit Expected(size_t capacity) : capacity(capacity) {}

    void File(int32_t ring, int32_t value) {
        rings[ring].push_back(value);
        if (rings[ring].size() > capacity)
            rings[ring].pop_front();
        latest[ring] = value;
    }
    // A measurement blob whose checksum held, as the unit's format defines it.
    void Measurement(const uint8_t *blob, const Source &source, bool merging) {
        if (blob[Blob::kLengthOffset] < Blob::kMeasurementHeaderSize)
            return;
        const MeasurementLayout layout = ParseMeasurementLayout(blob);
        const int32_t samples = layout.samplesPerChannel;
        if (layout.numChannels == 0 || samples == 0 || samples > Blob::kMaxSamplesPerChannel ||
            !MeasurementSamplesFit(blob, layout))
            return;
        int32_t low[Blob::kMaxSamplesPerChannel];
        int32_t high[Blob::kMaxSamplesPerChannel];
        bool haveLow = false;
        bool haveHigh = false;
        for (int32_t slot = 0; slot < layout.numChannels; ++slot) {
            const int32_t channel = layout.channels[slot];
            for (int32_t i = 0; i < samples; ++i) {
                const int32_t value = MeasurementSampleWord(blob, layout, slot, i) << 4;
                File(channel, value);
                if (channel == 1)
                    low[i] = value;
                if (channel == 2)
                    high[i] = value;
            }
            haveLow = haveLow || channel == 1;
            haveHigh = haveHigh || channel == 2;
        }
        if (merging && haveLow && haveHigh)
            for (int32_t i = 0; i < samples; ++i)
                File(7, source.Merge(low[i], high[i]));
    }

    size_t capacity;
    std::deque<int32_t> rings[kChannels];
    int32_t latest[kChannels] = {};
};

// The ring a host read of `channel` takes from.
int32_t ServedRing(int32_t channel, const Source &source) {
    return channel == 7 && !source.Prepared() ? 1 : channel;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in(data, size);
    const uint8_t setup = in.Byte();
    RouteTraces(setup & 1);
    const int32_t capacity = 1 + in.Byte() % 64;
    Source source(kChannels, capacity, setup & 2);
    Require(source.attached, "the source attaches");
    const Bytes cuts = ReadCuts(in);
    const Bytes garbage = in.Take(in.Byte() % 48);
    Sheet sheets[3];
    for (Sheet &sheet : sheets)
        sheet = ChooseSheet(in);

    Expected expected(static_cast<size_t>(capacity));
    bool known = true; // every byte so far was a whole blob of known bounds
    bool earlyInit = false;
    const auto deliver = [&](const Wire &wire, bool merging) {
        if (known)
            for (const SentBlob &sent : wire.blobs)
                if (sent.checksumHolds &&
                    (wire.At(sent)[Blob::kTypeOffset] & Blob::kClassMask) == Blob::kClassMeasurement)
                    expected.Measurement(wire.At(sent), source, merging);
        known = known && !wire.unframed;
        DeliverInPieces(wire.bytes, cuts, [&](const uint8_t *p, int32_t n) { source.Feed(p, n); });
    };

    // The open: the init exchange, then the three data-sheet reads.
    TheLink().answer = [&](const uint8_t *blob, int32_t) {
        const uint8_t cmd = blob[Blob::kCommandCodeOffset];
        const uint8_t signature = blob[Blob::kCounterOffset];
        Wire wire;
        if (cmd == Blob::kCmdInit) {
            wire.Raw(garbage); // before alignment: not part of any blob
            wire.unframed = false;
            wire.InitResponse(signature);
            wire.blobs.clear(); // taken by the wait, filed nowhere
            // Garbage that itself ends in an init response aligns the reader
            // early, and the true one is then read as framed bytes.
            for (size_t at = 0; at + Blob::kInitResponseLength < wire.bytes.size(); ++at)
                if (IsInitResponse(wire.bytes.data() + at, signature))
                    earlyInit = true;
            known = known && !earlyInit;
            deliver(wire, false);
            return;
        }
        if (cmd != Blob::kCmdReadNonVolatileMemory)
            return;
        const uint8_t block = blob[Blob::kCommandCodeOffset + 1];
        const Sheet *sheet = nullptr;
        for (size_t i = 0; i < 3; ++i)
            if (kSheetChannels[i] == block)
                sheet = &sheets[i];
        if (sheet == nullptr)
            return;
        switch (sheet->reply) {
        case SheetReply::Made:
        case SheetReply::Raw: {
            size_t pos = 0;
            size_t turn = 0;
            while (pos < sheet->bytes.size()) {
                const size_t n =
                    std::min<size_t>(1 + cuts[turn++ % cuts.size()] % Blob::kMaxResponsePayload, kDDSRecordSize - pos);
                const uint8_t type = static_cast<uint8_t>(Blob::kClassResponse | (pos == 0 ? Blob::kFlagFirst : 0) |
                                                          (pos + n == kDDSRecordSize ? Blob::kFlagLast : 0));
                wire.Response(type, cmd, signature, sheet->bytes.data() + pos, n, false);
                pos += n;
            }
            break;
        }
        case SheetReply::Error:
            wire.Response(0x9C, cmd, signature, {0x02}, false);
            break;
        case SheetReply::Steps: {
            const int steps = 1 + in.Byte() % 4;
            for (int i = 0; i < steps && !in.Empty(); ++i)
                wire.Step(in, cmd, signature);
            break;
        }
        }
        deliver(wire, false);
    };
    const bool opened = source.Open(nullptr) == 0;
    TheLink().answer = nullptr;
    // Garbage that holds an init response of its own (with any flags, an
    // error one too) answers the init in place of the true one.
    if (!earlyInit)
        Require(opened, "a unit that answers the init command is connected, whatever garbage came before");

    // The range is prepared only from sheets that pass the strict checks, and
    // always from sound replies of such sheets.
    bool allSound = true;
    bool scripted = false;
    for (const Sheet &sheet : sheets) {
        const bool sound = (sheet.reply == SheetReply::Made || sheet.reply == SheetReply::Raw) &&
                           VerifyRecord(sheet.bytes.data(), true);
        allSound = allSound && sound;
        scripted = scripted || sheet.reply == SheetReply::Steps;
        if (source.Prepared() && !scripted)
            Require(sound, "the range is prepared only from sheets that pass");
    }
    if (allSound && known && opened)
        Require(source.Prepared(), "sound sheets of channels 1, 2 and 7 prepare the range");
    Require(source.Threshold() >= 0 && source.Threshold() <= 1048561, "the threshold lies within the channel's values");

    // The stream, with reads in between.
    std::vector<int32_t> values;
    while (!in.Empty()) {
        const uint8_t op = in.Byte();
        const int32_t channel = in.Byte() % kChannels;
        const int32_t ring = ServedRing(channel, source);
        std::deque<int32_t> &queue = expected.rings[ring];
        switch (op % 4) {
        case 2: {
            const int32_t maxCount = (op & 4) ? -1 : in.Byte();
            source.ReadMeasurementsToList(values, channel, maxCount);
            if (known) {
                const size_t taken = maxCount < 0 ? queue.size() : std::min<size_t>(queue.size(), maxCount);
                Require(values.size() == taken, "a read takes what the channel holds, up to the count asked");
                for (int32_t value : values) {
                    Require(value == queue.front(), "a channel's values come out in the order they arrived");
                    queue.pop_front();
                }
            }
            break;
        }
        case 3: {
            const int32_t latest = source.GetLatestRawMeasurement(channel);
            if (known)
                Require(latest == expected.latest[ring], "the latest value is the last one filed");
            queue.clear();
            break;
        }
        default: {
            Wire wire;
            const uint8_t echo = in.Byte();
            const int steps = 1 + in.Byte() % 6;
            for (int i = 0; i < steps && !in.Empty(); ++i)
                wire.Step(in, echo, source.NextSignature());
            deliver(wire, source.Prepared());
            break;
        }
        }
        Require(source.GetNumMeasurementsAvailable(channel) <= capacity, "a channel holds no more than its capacity");
    }

    if (known)
        for (int32_t ring = 0; ring < kChannels; ++ring) {
            // The ring itself: the source serves channel 7 from channel 1
            // while the range is not prepared.
            GCircularBuffer *channelRing = source.ChannelRingOf(ring);
            values.assign(static_cast<size_t>(channelRing->GetCount()) / 4, 0);
            channelRing->Read(values.data(), static_cast<int32_t>(values.size() * 4));
            Require(values == std::vector<int32_t>(expected.rings[ring].begin(), expected.rings[ring].end()),
                    "each channel holds the newest values filed, in order");
        }
    source.CheckRings();
    return 0;
}
