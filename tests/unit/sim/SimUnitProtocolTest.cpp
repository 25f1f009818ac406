#include "SimTestHost.h"

#include <gtest/gtest.h>

using namespace simtest;
using sim::SimUnit;

namespace {

const Bytes kInitPattern = {0x55, 0xAA, 0x56, 0xA9, 0x57, 0xA8, 0x58, 0xA7, 0x59, 0xA6,
                            0x5A, 0xA5, 0x5B, 0xA4, 0x5C, 0xA3, 0x5D, 0xA2, 0x5E, 0xA1};

struct Connected {
    SimUnit unit;
    TestHost host{unit};
    Connected() { unit.Connect(); }
};

uint8_t ErrorCode(const Response &r) {
    return r.payload.empty() ? 0 : r.payload[0];
}

} // namespace

TEST(SimUnitProtocol, InitResponseIsExactAndEchoesTheCounter) {
    Connected c;
    const Bytes init = Command(0x1A, 0xFF, kInitParams);
    ASSERT_EQ(init, (Bytes{0x40, 0x19, 0xFF, 0x88, 0x1A, 0x05, 0x4A, 0x06, 0x49, 0x07, 0x48, 0x08, 0x47,
                           0x09, 0x46, 0x0A, 0x45, 0x0B, 0x44, 0x0C, 0x43, 0x0D, 0x42, 0x0E, 0x41}));
    c.host.Send(init);
    ASSERT_TRUE(c.host.WaitForBytes(26));
    const Bytes got = c.host.Received();
    ASSERT_EQ(got.size(), 26u);
    EXPECT_EQ(got[0], 0xB8);
    EXPECT_EQ(got[1], 26);
    EXPECT_EQ(got[3], Checksum(got));
    EXPECT_EQ(got[4], 0x1A);
    EXPECT_EQ(got[5], 0xFF);
    EXPECT_EQ(Bytes(got.begin() + 6, got.end()), kInitPattern);

    const Response again = c.host.Exchange(0x1A, 0x42, kInitParams);
    EXPECT_TRUE(again.complete);
    EXPECT_EQ(again.payload, kInitPattern);
    EXPECT_EQ(c.unit.CommandCount(0x1A), 2u);
}

TEST(SimUnitProtocol, InitWithoutItsPatternAndLengthIsRefusedAndCounted) {
    Connected c;
    Bytes wrongByte = kInitParams;
    wrongByte[7] ^= 0x01;
    const Bytes refused[] = {{}, Bytes(kInitParams.begin(), kInitParams.end() - 1), wrongByte, [] {
                                 Bytes longer = kInitParams;
                                 longer.push_back(0x0F);
                                 return longer;
                             }()};
    uint8_t counter = 0x10;
    for (const Bytes &params : refused) {
        const Response r = c.host.Exchange(0x1A, counter++, params);
        ASSERT_TRUE(r.complete) << params.size();
        EXPECT_EQ(r.types, (std::vector<uint8_t>{0x84})) << params.size();
        EXPECT_EQ(ErrorCode(r), static_cast<uint8_t>(sim::SimError::BadParameters));
    }
    EXPECT_EQ(c.unit.RefusedInitCount(), 4u);
    EXPECT_EQ(c.host.Exchange(0x1A, counter, kInitParams).payload, kInitPattern);
    EXPECT_EQ(c.unit.RefusedInitCount(), 4u);
}

TEST(SimUnitProtocol, ReassemblesCommandsAcrossAnyChunking) {
    Connected c;
    Bytes stream = Command(0x1C, 0x10);
    for (uint8_t b : Command(0x1B, 0x11, Le(7, 4)))
        stream.push_back(b);
    for (uint8_t b : Command(0x1C, 0x12))
        stream.push_back(b);
    for (uint8_t b : stream) // one byte per call
        c.unit.Receive(&b, 1);
    EXPECT_EQ(c.host.Await(0x1C, 0x10).payload, Le(10, 4));
    EXPECT_TRUE(c.host.Await(0x1B, 0x11).complete);
    EXPECT_EQ(c.host.Await(0x1C, 0x12).payload, Le(7, 4));
    c.host.Send(stream); // all in one call
    EXPECT_EQ(c.unit.CommandCount(0x1C), 4u);
    EXPECT_EQ(c.unit.LastCommand(), Command(0x1C, 0x12));
}

TEST(SimUnitProtocol, PeriodIsSetReadAndRangeChecked) {
    Connected c;
    EXPECT_EQ(c.host.Exchange(0x1B, 1, Le(250, 4)).types, (std::vector<uint8_t>{0x98}));
    EXPECT_EQ(c.host.Exchange(0x1C, 2).payload, Le(250, 4));
    EXPECT_TRUE(c.host.Exchange(0x1B, 3, Le(65535, 4)).complete);
    for (uint32_t bad : {0u, 65536u}) {
        const Response r = c.host.Exchange(0x1B, static_cast<uint8_t>(4 + bad % 7), Le(bad, 4));
        EXPECT_TRUE(r.error);
        EXPECT_EQ(ErrorCode(r), static_cast<uint8_t>(sim::SimError::BadParameters));
    }
    EXPECT_EQ(c.unit.PeriodTicks(), 65535u);
}

TEST(SimUnitProtocol, ReadsDataSheetInOneBlobAndLongReadsInSeveral) {
    Connected c;
    const Response sheet = c.host.Exchange(0x27, 1, ReadParams(3, 0, 128));
    EXPECT_EQ(sheet.types, (std::vector<uint8_t>{0x98}));
    const sim::DataSheetBytes expected = c.unit.DataSheet(3);
    EXPECT_EQ(sheet.payload, Bytes(expected.begin(), expected.end()));

    const Bytes memory = c.unit.Memory();
    const Response r300 = c.host.Exchange(0x27, 2, ReadParams(0xFF, 100, 300));
    EXPECT_EQ(r300.types, (std::vector<uint8_t>{0x88, 0x90}));
    EXPECT_EQ(r300.payload, Bytes(memory.begin() + 100, memory.begin() + 400));

    const Response r600 = c.host.Exchange(0x27, 3, ReadParams(0xFF, 24576 - 600, 600));
    EXPECT_EQ(r600.types, (std::vector<uint8_t>{0x88, 0x80, 0x90}));
    EXPECT_EQ(r600.payload, Bytes(memory.end() - 600, memory.end()));

    const Response none = c.host.Exchange(0x27, 4, ReadParams(0xFF, 0, 0));
    EXPECT_EQ(none.types, (std::vector<uint8_t>{0x98}));
    EXPECT_TRUE(none.payload.empty());
    for (const Bytes &b : CutBlobs(c.host.Received()))
        EXPECT_EQ(b[3], Checksum(b));
}

TEST(SimUnitProtocol, OwnMemoryStartsWithPatternAndWritesReadBack) {
    Connected c;
    const Bytes initial = c.unit.Memory();
    ASSERT_EQ(initial.size(), SimUnit::kMemorySize);
    EXPECT_EQ(initial[0], SimUnit::InitialMemoryByte(0));
    EXPECT_NE(initial[0], initial[256]); // not periodic in 256
    Bytes data(244);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(0xA0 ^ i);
    EXPECT_TRUE(c.host.Exchange(0x21, 1, WriteParams(0xFF, 24576 - 244, data)).payload.empty());
    EXPECT_EQ(c.host.Exchange(0x27, 2, ReadParams(0xFF, 24576 - 244, 244)).payload, data);

    const Response past = c.host.Exchange(0x21, 3, WriteParams(0xFF, 24576 - 10, Bytes(11, 0x77)));
    EXPECT_EQ(ErrorCode(past), static_cast<uint8_t>(sim::SimError::BadAddress));
    const Bytes after = c.unit.Memory();
    EXPECT_EQ(Bytes(after.end() - 244, after.end()), data);
    EXPECT_TRUE(std::equal(after.begin(), after.end() - 244, initial.begin()));
}

TEST(SimUnitProtocol, RefusesWithErrorBlobs) {
    Connected c;
    struct Case {
        uint8_t cmd;
        Bytes params;
        sim::SimError error;
    };
    const Case cases[] = {
        {0x55, {}, sim::SimError::UnknownCommand},
        {0x27, ReadParams(0xFF, 24500, 77), sim::SimError::BadAddress},
        {0x27, ReadParams(3, 100, 29), sim::SimError::BadAddress},
        {0x27, ReadParams(0, 0, 1), sim::SimError::BadBlock},
        {0x27, ReadParams(8, 0, 1), sim::SimError::BadBlock},
        {0x27, {0xFF, 0, 0}, sim::SimError::BadParameters},
        {0x21, WriteParams(3, 0, Bytes(4, 1)), sim::SimError::BadBlock},
        {0x21, {0xFF, 0, 0, 0, 0, 5, 1, 2}, sim::SimError::BadParameters}, // n = 5, 2 data bytes
    };
    uint8_t counter = 0x80;
    for (const Case &k : cases) {
        const Response r = c.host.Exchange(k.cmd, counter++, k.params);
        ASSERT_TRUE(r.complete) << int(k.cmd);
        EXPECT_EQ(r.types, (std::vector<uint8_t>{0x84})) << int(k.cmd);
        EXPECT_EQ(ErrorCode(r), static_cast<uint8_t>(k.error)) << int(k.cmd) << " case " << int(counter);
    }
    EXPECT_EQ(c.host.Exchange(0x27, counter, ReadParams(3, 100, 28)).payload.size(), 28u);
}

TEST(SimUnitProtocol, IgnoresAndCountsMalformedCommandsWithoutLosingFraming) {
    Connected c;
    Bytes badSum = Command(0x1C, 1);
    badSum[3] ^= 0x01;
    Bytes notCommand = Command(0x1C, 2);
    notCommand[0] = 0x41;
    notCommand[3] = Checksum(notCommand);
    c.host.Send(badSum);
    c.host.Send(notCommand);
    c.host.Send(Bytes{0x40, 0x02, 0x03, 0x45}); // length below a header: takes 4 bytes
    c.host.Send(Bytes{0x40, 0x04, 0x03, 0x47}); // no command byte
    EXPECT_EQ(c.host.Exchange(0x1C, 9).payload, Le(10, 4));
    EXPECT_EQ(c.unit.BadChecksumCount(), 1u);
    EXPECT_EQ(c.unit.RejectedCount(), 4u);
    EXPECT_EQ(c.unit.TotalCommands(), 1u);
    EXPECT_EQ(CutBlobs(c.host.Received()).size(), 1u);
}

TEST(SimUnitProtocol, UnitCounterCountsUpPerBlob) {
    Connected c;
    c.host.Exchange(0x1C, 1);
    c.host.Exchange(0x27, 2, ReadParams(0xFF, 0, 300));
    const std::vector<Bytes> blobs = CutBlobs(c.host.Received());
    ASSERT_EQ(blobs.size(), 3u);
    EXPECT_EQ(uint8_t(blobs[1][2] - blobs[0][2]), 1);
    EXPECT_EQ(uint8_t(blobs[2][2] - blobs[1][2]), 1);
}

TEST(SimUnitProtocol, IdentityGivesNameAndAddress) {
    SimUnit a("12345"), b("67890");
    EXPECT_EQ(a.Name(), "QuorvelKTRX 12345");
    EXPECT_EQ(a.AddressText().size(), 17u);
    EXPECT_EQ(a.AddressText().substr(0, 9), "00:07:80:");
    EXPECT_NE(a.BluetoothAddress(), b.BluetoothAddress());
    SimUnit c("1", {1, 2, 3, 4, 5, 0xAB});
    EXPECT_EQ(c.AddressText(), "01:02:03:04:05:AB");
}
