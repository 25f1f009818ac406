// The reader callback fed directly: alignment on the init response, cutting
// by length bytes whatever the delivery boundaries, and what is dropped.
#include "ProtocolTestSupport.h"

#include <algorithm>
#include <random>

namespace {

using namespace protocol_test;

class BlobFraming : public ::testing::Test {
  protected:
    void SetUp() override { source.AttachWithoutDevice(3); }

    // What the source filed: response ring bytes, then each channel ring's
    // values and latest value.
    static std::vector<Bytes> Filed(TestBlobSource &s) {
        std::vector<Bytes> filed = {Drain(s.m_responseBuffer)};
        for (size_t ch = 0; ch < s.m_measurementBuffers.size(); ++ch) {
            Bytes values = Drain(s.m_measurementBuffers[ch]);
            const int32_t latest = s.m_latestMeasurements[ch];
            values.insert(values.end(), reinterpret_cast<const uint8_t *>(&latest),
                          reinterpret_cast<const uint8_t *>(&latest) + 4);
            filed.push_back(values);
        }
        return filed;
    }

    TestBlobSource source;
};

TEST_F(BlobFraming, OnlyTheInitResponseWithTheCurrentSignatureAligns) {
    const Bytes response = Response(0x98, 0x1C, 0x41, {1, 2, 3, 4});
    // Before any init command only signature 0 would align.
    source.Feed(response);
    EXPECT_FALSE(source.m_synchronised);
    source.ResetFraming(0x42);
    source.Feed(Concat({response, InitResponse(0x41), Measurement(0x01, 1, {7})}));
    EXPECT_FALSE(source.m_synchronised);
    EXPECT_EQ(0, source.ResponseBytes());
    EXPECT_EQ(0, source.GetNumMeasurementsAvailable(0));

    source.Feed(Concat({InitResponse(0x42), response}));
    EXPECT_TRUE(source.m_synchronised);
    EXPECT_EQ(Concat({InitResponse(0x42), response}), Drain(source.m_responseBuffer));

    // A new init command forgets the framing and the responses not collected.
    source.Feed(response);
    source.ResetFraming(0x43);
    EXPECT_FALSE(source.m_synchronised);
    EXPECT_EQ(0, source.ResponseBytes());
}

TEST_F(BlobFraming, GarbageBeforeTheInitResponseIsSkipped) {
    TraceCapture trace;
    source.ResetFraming(0x42);
    // Garbage that imitates most of an init response, then the real one.
    Bytes garbage = InitResponse(0x42);
    garbage.resize(20);
    source.Feed(Concat({Bytes(300, 0xA0), garbage, InitResponse(0x42), Response(0x98, 0x1C, 0x41)}));
    EXPECT_TRUE(source.m_synchronised);
    EXPECT_EQ(Concat({InitResponse(0x42), Response(0x98, 0x1C, 0x41)}), Drain(source.m_responseBuffer));
    EXPECT_TRUE(trace.Text().empty());
}

TEST_F(BlobFraming, BadChecksumDropsOnlyThatBlob) {
    source.Synchronise();
    TraceCapture trace;
    Bytes bad = Measurement(0x01, 2, {5, 6});
    bad[3] ^= 0xFF;
    const Bytes good = Response(0x98, 0x27, 0x10, {9});
    source.Feed(Concat({bad, good}));
    EXPECT_EQ(1u, trace.Count(L"GMBLBlobSource.cpp("));
    EXPECT_TRUE(trace.Contains(L") : Input blob discarded because of bad checksum.\n"));
    EXPECT_EQ(0, source.GetNumMeasurementsAvailable(0));
    EXPECT_EQ(good, Drain(source.m_responseBuffer));
    EXPECT_TRUE(source.m_synchronised);
}

TEST_F(BlobFraming, UnrecognisedClassesAreTracedAndDropped) {
    source.Synchronise();
    TraceCapture trace;
    source.Feed(
        Concat({MakeBlob(0x60, {1, 2, 3, 4}), MakeBlob(0x45, {1}), MakeBlob(0xE0, {}), Response(0x98, 0x1C, 1)}));
    EXPECT_TRUE(trace.Contains(L"Unrecognized blob received: type = 60h ; length = 8h\n"));
    // Inbound command-class blobs are not the unit's to send.
    EXPECT_TRUE(trace.Contains(L"Unrecognized blob received: type = 40h ; length = 5h\n"));
    EXPECT_TRUE(trace.Contains(L"Unrecognized blob received: type = e0h ; length = 4h\n"));
    EXPECT_EQ(Response(0x98, 0x1C, 1), Drain(source.m_responseBuffer));
}

TEST_F(BlobFraming, LengthBelowFourTakesFourBytesAndKeepsResponsesWhole) {
    source.Synchronise();
    Bytes tiny = {0x98, 0x02, 0x00, 0x00};
    tiny[3] = BlobChecksum(tiny.data());
    source.Feed(Concat({tiny, Response(0x98, 0x1C, 7, {1})}));
    EXPECT_EQ(Concat({tiny, Response(0x98, 0x1C, 7, {1})}), Drain(source.m_responseBuffer));
}

TEST_F(BlobFraming, EveryDeliverySplitFilesTheSame) {
    std::vector<int16_t> wide(123);
    for (int i = 0; i < 123; ++i)
        wide[static_cast<size_t>(i)] = static_cast<int16_t>(-1000 * i);
    Bytes corrupt = Response(0x98, 0x1C, 3, {1, 2});
    corrupt[7] ^= 0x01;
    const Bytes stream =
        Concat({Bytes{0x00, 0xB8, 0x1A, 0x42}, InitResponse(0x42), Measurement(0x05, 2, {1, -2, 3, -4}),
                Response(0x88, 0x27, 0x42, Bytes(30, 0xAB)), corrupt, MakeBlob(0x60, {}),
                Response(0x90, 0x27, 0x42, {1}), Measurement(0x01, 123, wide), Measurement(0x06, 1, {-32768, 32767})});
    // Small rings: hundreds of sources are made below.
    TestBlobSource reference;
    reference.AttachWithoutDevice(3, 1000);
    reference.ResetFraming(0x42);
    reference.Feed(stream);
    const std::vector<Bytes> expected = Filed(reference);
    ASSERT_EQ(26u + 36u + 7u, expected[0].size());

    const auto feedInPieces = [&](const std::vector<size_t> &cuts) {
        TestBlobSource s;
        s.AttachWithoutDevice(3, 1000);
        s.ResetFraming(0x42);
        size_t from = 0;
        for (size_t cut : cuts) {
            s.OnBytesReceived(stream.data() + from, static_cast<int32_t>(cut - from), &s);
            from = cut;
        }
        return Filed(s);
    };
    const size_t n = stream.size();
    for (size_t size = 1; size <= n; ++size) {
        std::vector<size_t> cuts;
        for (size_t at = size; at < n + size; at += size)
            cuts.push_back(std::min(at, n));
        ASSERT_EQ(expected, feedInPieces(cuts)) << "chunks of " << size;
    }
    for (size_t at = 1; at < n; ++at)
        ASSERT_EQ(expected, feedInPieces({at, n})) << "split at " << at;
}

TEST_F(BlobFraming, MeasurementsAreFiledPerChannelAsSigned) {
    source.Synchronise();
    source.Feed(Measurement(0x05, 3, {1, -1, 2, -2, 3, -32768}));
    std::vector<int32_t> values;
    EXPECT_EQ((std::vector<int32_t>{1, 2, 3}), source.ReadMeasurementsToList(values, 0, -1));
    EXPECT_EQ((std::vector<int32_t>{-1, -2, -32768}), source.ReadMeasurementsToList(values, 2, -1));
    EXPECT_EQ(0, source.GetNumMeasurementsAvailable(1));
    EXPECT_EQ(-32768, source.m_latestMeasurements[2]);
}

TEST_F(BlobFraming, MalformedMeasurementBlobsFileNothing) {
    source.Synchronise();
    TraceCapture trace;
    // Declares 10 samples of channel 0 but carries 9.
    Bytes oversized = Measurement(0x01, 10, std::vector<int16_t>(10, 5));
    oversized.resize(oversized.size() - 2);
    oversized[1] = static_cast<uint8_t>(oversized.size());
    oversized[3] = BlobChecksum(oversized.data());
    source.Feed(oversized);
    EXPECT_TRUE(trace.Contains(L"Measurement blob discarded because its samples exceed its length: channels = 1h ; "
                               L"samples = ah ; length = 1ah\n"));
    // Too short to carry a mask and a sample count: traced with its own bytes,
    // not the mask and count left from the blob before.
    source.Feed(MakeBlob(0x20, {0x00, 0x00}));
    EXPECT_TRUE(trace.Contains(L"Measurement blob discarded because it is shorter than its header: length = 6h ; "
                               L"bytes = 20 06 33 59 00 00\n"));
    EXPECT_FALSE(trace.Contains(L"length = 6h\n"));
    // A channel without a ring drops the whole blob, channel 0 included.
    source.Feed(Measurement(0x81, 1, {4, 4}));
    source.Feed(Measurement(0x01, 0, {}));
    source.Feed(Measurement(0x00, 3, {}));
    EXPECT_EQ(0, source.GetNumMeasurementsAvailable(0));
    EXPECT_EQ(0, source.m_latestMeasurements[0]);
    // The framing survives: the next blob is filed.
    source.Feed(Measurement(0x01, 1, {9}));
    EXPECT_EQ(9, source.GetLatestRawMeasurement(0));
}

} // namespace

namespace {

// The cutter as it took one byte at a time: the reference for the block copy.
bool CutOneByteAtATime(uint8_t *buffer, const uint8_t *src, int32_t n, int32_t &assembled, int32_t &consumed) {
    consumed = 0;
    while (consumed < n) {
        buffer[assembled++] = src[consumed++];
        if (assembled >= Blob::kHeaderSize && assembled >= buffer[Blob::kLengthOffset])
            return true;
    }
    return false;
}

// Random streams (length bytes of any value, below 4 and 255 included) cut
// at random: every call agrees with the reference in its result, what it
// consumed, the bytes assembled and the whole buffer.
TEST(BlobCutter, BlockCopyCutsWhereTheByteLoopDid) {
    std::mt19937 random(2024);
    for (int stream = 0; stream < 3000; ++stream) {
        uint8_t buffer[256], reference[256];
        std::fill(std::begin(buffer), std::end(buffer), static_cast<uint8_t>(stream));
        std::copy(std::begin(buffer), std::end(buffer), reference);
        int32_t assembled = 0, referenceAssembled = 0;
        Bytes bytes(1 + random() % 1200);
        for (auto &b : bytes)
            b = static_cast<uint8_t>(random() % 4 == 0 ? random() % 8 : random());
        for (size_t at = 0; at < bytes.size();) {
            const auto n = static_cast<int32_t>(std::min<size_t>(1 + random() % 300, bytes.size() - at));
            const int32_t piece = std::min(n, Blob::kMaxLength);
            int32_t consumed = -1, referenceConsumed = -1;
            const bool whole = TestBlobSource::AccumulateBlob(buffer, &bytes[at], piece, assembled, consumed);
            ASSERT_EQ(CutOneByteAtATime(reference, &bytes[at], piece, referenceAssembled, referenceConsumed), whole);
            ASSERT_EQ(referenceConsumed, consumed);
            ASSERT_EQ(referenceAssembled, assembled);
            ASSERT_TRUE(std::equal(std::begin(buffer), std::end(buffer), reference)) << "stream " << stream;
            if (whole)
                assembled = referenceAssembled = 0;
            at += static_cast<size_t>(consumed);
        }
    }
}

} // namespace
