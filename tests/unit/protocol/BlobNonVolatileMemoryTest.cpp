// Reading and writing the unit's memory blocks.
#include "ProtocolTestSupport.h"

namespace {

using namespace protocol_test;

class BlobNonVolatileMemory : public SimulatedUnitTest {};

TEST_F(BlobNonVolatileMemory, ReadsDataSheetsAndLongRanges) {
    uint8_t sheet[128] = {};
    ASSERT_EQ(0, source->ReadNonVolatileMemory(3, sheet, 0, 128, kPatienceMs, nullptr));
    const sim::DataSheetBytes expected = unit->DataSheet(3);
    EXPECT_TRUE(std::equal(std::begin(sheet), std::end(sheet), expected.begin()));
    ASSERT_EQ(1u, source->exchanges.size());
    EXPECT_EQ((Bytes{3, 0, 0, 0, 0, 128, 0}), source->exchanges[0].params);

    // 300 bytes need two response blobs.
    std::vector<uint8_t> range(300);
    ASSERT_EQ(0, source->ReadNonVolatileMemory(0xFF, range.data(), 0x1234, 300, kPatienceMs, nullptr));
    const std::vector<uint8_t> memory = unit->Memory();
    EXPECT_TRUE(std::equal(range.begin(), range.end(), memory.begin() + 0x1234));

    // The unit refuses an address beyond the block.
    EXPECT_EQ(-1, source->ReadNonVolatileMemory(3, sheet, 100, 128, kPatienceMs, nullptr));
    EXPECT_EQ(-1, source->ReadNonVolatileMemory(3, sheet, 0, -1, kPatienceMs, nullptr));
}

TEST_F(BlobNonVolatileMemory, FewerBytesThanAskedFail) {
    source->cannedPayload = std::make_unique<Bytes>(Bytes(100, 0x5A));
    uint8_t dst[128] = {};
    EXPECT_EQ(-1, source->ReadNonVolatileMemory(1, dst, 0, 128, 10, nullptr));
    EXPECT_EQ(0x5A, dst[99]); // what came is kept
}

TEST_F(BlobNonVolatileMemory, LongWritesGoOutInChunksOf244) {
    std::vector<uint8_t> data(500);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7 + 1);
    TraceCapture trace;
    ASSERT_EQ(0, source->WriteNonVolatileMemory(0xFF, data.data(), 0x2000, 500, kPatienceMs, nullptr));
    ASSERT_EQ(3u, source->exchanges.size());
    const uint32_t expectedAddress[] = {0x2000, 0x2000 + 244, 0x2000 + 488};
    const uint8_t expectedCount[] = {244, 244, 12};
    for (size_t i = 0; i < 3; ++i) {
        const Bytes &p = source->exchanges[i].params;
        EXPECT_EQ(0x21, source->exchanges[i].cmd);
        ASSERT_EQ(6u + expectedCount[i], p.size());
        EXPECT_EQ(0xFF, p[0]);
        EXPECT_EQ(expectedAddress[i], GetLittleEndian32(&p[1]));
        EXPECT_EQ(expectedCount[i], p[5]);
    }
    const std::vector<uint8_t> memory = unit->Memory();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), memory.begin() + 0x2000));
    EXPECT_TRUE(trace.Contains(L"WriteNonVolatileMemory wrote 500 bytes in "));
}

TEST_F(BlobNonVolatileMemory, ChunksShareOneDeadline) {
    unit->SetResponseDelay(100);
    std::vector<uint8_t> data(600, 0x11);
    const uint32_t deadline = 60000;
    ASSERT_EQ(0, source->WriteNonVolatileMemory(0xFF, data.data(), 0, 600, deadline, nullptr));
    ASSERT_EQ(3u, source->exchanges.size());
    EXPECT_EQ(deadline, source->exchanges[0].timeoutMs);
    // Each chunk gets what is left after the answers before it.
    EXPECT_LE(source->exchanges[1].timeoutMs, deadline - 50);
    EXPECT_LE(source->exchanges[2].timeoutMs, source->exchanges[1].timeoutMs - 50);

    // A deadline that ends after the first chunk fails the write.
    source->exchanges.clear();
    unit->SetResponseDelay(400);
    EXPECT_EQ(-1, source->WriteNonVolatileMemory(0xFF, data.data(), 0, 600, 500, nullptr));
    EXPECT_LE(source->exchanges.size(), 2u);
}

TEST_F(BlobNonVolatileMemory, EmptyAndStoppedWrites) {
    const uint64_t commands = unit->TotalCommands();
    TraceCapture trace;
    EXPECT_EQ(0, source->WriteNonVolatileMemory(0xFF, nullptr, 0, 0, kPatienceMs, nullptr));
    EXPECT_TRUE(trace.Contains(L"WriteNonVolatileMemory wrote 0 bytes in 0 milliseconds.\n"));
    const bool stop = true;
    const uint8_t data[10] = {};
    trace.Clear();
    EXPECT_EQ(-1, source->WriteNonVolatileMemory(0xFF, data, 0, 10, kPatienceMs, &stop));
    EXPECT_FALSE(trace.Contains(L"WriteNonVolatileMemory"));
    EXPECT_EQ(0, source->WriteNonVolatileMemory(0xFF, data, 0, 0, kPatienceMs, &stop));
    EXPECT_EQ(commands, unit->TotalCommands());
    // A refused chunk ends the write with its result.
    EXPECT_EQ(-1, source->WriteNonVolatileMemory(3, data, 0, 10, kPatienceMs, nullptr));
}

} // namespace
