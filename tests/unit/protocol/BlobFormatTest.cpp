#include "ProtocolTestSupport.h"

namespace {

using protocol_test::Bytes;

Bytes Build(uint8_t cmd, uint8_t counter, const Bytes &params) {
    uint8_t frame[Blob::kMaxLength];
    const int32_t length = BuildCommandBlob(frame, cmd, counter, params.data(), static_cast<int32_t>(params.size()));
    return Bytes(frame, frame + length);
}

TEST(BlobFormat, CommandBlobsAreByteExact) {
    EXPECT_EQ((Bytes{0x40, 0x05, 0xFF, 0x5C, 0x18}), Build(0x18, 0xFF, {}));
    const Bytes init = {0x40, 0x19, 0xFF, 0x88, 0x1A, 0x05, 0x4A, 0x06, 0x49, 0x07, 0x48, 0x08, 0x47,
                        0x09, 0x46, 0x0A, 0x45, 0x0B, 0x44, 0x0C, 0x43, 0x0D, 0x42, 0x0E, 0x41};
    EXPECT_EQ(init, Build(0x1A, 0xFF, {}));
    // Whatever the caller passes, init carries only its fixed pattern.
    EXPECT_EQ(init, Build(0x1A, 0xFF, Bytes(40, 0x77)));
    const Bytes longest = Build(0x21, 0x10, Bytes(250, 0x01));
    ASSERT_EQ(255u, longest.size());
    EXPECT_EQ(255, longest[1]);
}

TEST(BlobFormat, ChecksumSkipsByteThreeAndBodyOfShortLengths) {
    Bytes blob = {0x80, 0x03, 0x10, 0xEE, 0x50, 0x60};
    EXPECT_EQ(0x93, BlobChecksum(blob.data())); // bytes 0..2 only
    blob[1] = 6;
    EXPECT_EQ(static_cast<uint8_t>(0x80 + 6 + 0x10 + 0x50 + 0x60), BlobChecksum(blob.data()));
}

TEST(BlobFormat, InitResponseNeedsEveryField) {
    const Bytes good = protocol_test::InitResponse(0x42);
    EXPECT_TRUE(IsInitResponse(good.data(), 0x42));
    EXPECT_FALSE(IsInitResponse(good.data(), 0x41));
    // Any other class, length, command, pattern byte or checksum is refused.
    for (size_t index : {size_t(0), size_t(1), size_t(3), size_t(4), size_t(6), size_t(25)}) {
        Bytes bad = good;
        bad.resize(256); // room for whatever length byte the change makes
        bad[index] ^= (index == 0) ? 0x40 : 0x01;
        if (index != 3)
            bad[3] = BlobChecksum(bad.data());
        EXPECT_FALSE(IsInitResponse(bad.data(), 0x42)) << "byte " << index;
    }
}

TEST(BlobFormat, MeasurementSamplesInterleaveByChannel) {
    // Mask 0x05: channels 0 and 2; order ch0 s0, ch2 s0, ch0 s1, ch2 s1, ...
    const Bytes blob = protocol_test::Measurement(0x05, 3, {10, 20, 11, 21, 12, 22});
    const MeasurementLayout layout = ParseMeasurementLayout(blob.data());
    ASSERT_EQ(2, layout.numChannels);
    EXPECT_EQ(2, layout.HighestChannel());
    EXPECT_TRUE(MeasurementSamplesFit(blob.data(), layout));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(10 + i, MeasurementSampleWord(blob.data(), layout, 0, i));
        EXPECT_EQ(20 + i, MeasurementSampleWord(blob.data(), layout, 1, i));
    }
    Bytes shortBlob = blob;
    shortBlob[1] -= 1;
    EXPECT_FALSE(MeasurementSamplesFit(shortBlob.data(), layout));
}

} // namespace
