// The unit's non-volatile memory blocks through the exports.
#include "InterfaceTestSupport.h"

#include "SimDataSheet.h"

#include <algorithm>

namespace iface_test {
namespace {

using sim::SimUnit;

class InterfaceMemoryTest : public OpenUnitTest {};

TEST_F(InterfaceMemoryTest, UnitMemoryWriteAndReadRoundTrip) {
    std::vector<unsigned char> bytes(500);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>(i * 7 + 3);
    const int address = 1000;
    ASSERT_EQ(Ostrel_Device_NVMemBlk_Write(device, OSTREL_BLOCK_UNIT_MEMORY, bytes.data(), address, 500, 2000), 0);
    EXPECT_EQ(unit->CommandCount(SimUnit::kCmdWriteNV), 3u); // 244 + 244 + 12
    const std::vector<uint8_t> memory = unit->Memory();
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), memory.begin() + address));
    EXPECT_EQ(memory[address - 1], SimUnit::InitialMemoryByte(address - 1));
    EXPECT_EQ(memory[address + 500], SimUnit::InitialMemoryByte(address + 500));

    std::vector<unsigned char> back(500, 0);
    ASSERT_EQ(Ostrel_Device_NVMemBlk_Read(device, OSTREL_BLOCK_UNIT_MEMORY, back.data(), address, 500, 2000), 0);
    EXPECT_EQ(back, bytes);
    // Block 0xFF in any 32-bit form is the unit's memory.
    ASSERT_EQ(Ostrel_Device_NVMemBlk_Read(device, 0x1FF, back.data(), address, 10, 2000), 0);
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + 10, bytes.begin()));
}

TEST_F(InterfaceMemoryTest, WriteToADataSheetBlockIsRefusedAndSendsNothing) {
    const unsigned char bytes[4] = {1, 2, 3, 4};
    const uint64_t commands = unit->TotalCommands();
    EXPECT_EQ(Ostrel_Device_NVMemBlk_Write(device, 3, bytes, 0, 4, 1000), -1);
    EXPECT_EQ(Ostrel_Device_NVMemBlk_Write(device, 0, bytes, 0, 4, 1000), -1);
    EXPECT_EQ(Ostrel_Device_NVMemBlk_Write(device, OSTREL_BLOCK_UNIT_MEMORY, nullptr, 0, 4, 1000), -1);
    EXPECT_EQ(unit->TotalCommands(), commands);
    EXPECT_EQ(unit->DataSheet(3), sim::SimDataSheet::Default(3));
}

TEST_F(InterfaceMemoryTest, DataSheetBlockReadsTheSensorsRecord) {
    unsigned char record[128] = {};
    ASSERT_EQ(Ostrel_Device_NVMemBlk_Read(device, 3, record, 0, 128, 1000), 0);
    const sim::DataSheetBytes expected = sim::SimDataSheet::Default(3);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), record));
}

TEST_F(InterfaceMemoryTest, ReadBeyondTheBlockFails) {
    unsigned char bytes[16] = {};
    EXPECT_LT(Ostrel_Device_NVMemBlk_Read(device, 3, bytes, 120, 16, 1000), 0);
    EXPECT_LT(Ostrel_Device_NVMemBlk_Read(device, 9, bytes, 0, 16, 1000), 0);
    EXPECT_EQ(Ostrel_Device_NVMemBlk_Read(device, OSTREL_BLOCK_UNIT_MEMORY, nullptr, 0, 16, 1000), -1);
    // A negative count reads and writes nothing.
    unsigned char untouched[4] = {0xA5, 0xA5, 0xA5, 0xA5};
    EXPECT_LT(Ostrel_Device_NVMemBlk_Read(device, OSTREL_BLOCK_UNIT_MEMORY, untouched, 0, -1, 1000), 0);
    EXPECT_EQ(untouched[0], 0xA5);
    const uint64_t writes = unit->CommandCount(SimUnit::kCmdWriteNV);
    EXPECT_LT(Ostrel_Device_NVMemBlk_Write(device, OSTREL_BLOCK_UNIT_MEMORY, untouched, 0, -1, 1000), 0);
    EXPECT_EQ(unit->CommandCount(SimUnit::kCmdWriteNV), writes);
    // A count the request's 16 bits cannot carry is refused before anything is sent.
    std::vector<unsigned char> big(65536);
    const uint64_t reads = unit->CommandCount(SimUnit::kCmdReadNV);
    EXPECT_EQ(Ostrel_Device_NVMemBlk_Read(device, OSTREL_BLOCK_UNIT_MEMORY, big.data(), 0, 65536, 1000), -1);
    EXPECT_EQ(unit->CommandCount(SimUnit::kCmdReadNV), reads);
    EXPECT_EQ(Ping(device), 0);
}

TEST_F(InterfaceMemoryTest, AddressRanges) {
    struct Row {
        int block;
        int last;
    };
    const Row rows[] = {{-1, 0x5FFF}, {0xFF, 0x5FFF}, {1, 127}, {3, 127}, {7, 127}, {0x103, 127}, {0, 0}, {8, 0}};
    for (const Row &row : rows) {
        int first = 9;
        int last = 9;
        EXPECT_EQ(Ostrel_Device_NVMemBlk_GetAddrRange(device, row.block, &first, &last), 0) << row.block;
        EXPECT_EQ(first, 0) << row.block;
        EXPECT_EQ(last, row.last) << row.block;
    }
    int first = 9;
    EXPECT_EQ(Ostrel_Device_NVMemBlk_GetAddrRange(device, -1, &first, nullptr), -1);
    EXPECT_EQ(first, 9);
}

// The whole of the unit's own block in one read: a reply of 99 blobs, far more
// than the 10000-byte response ring holds. Under ThreadSanitizer too: the
// reader hands the reply to the waiting read as it arrives.
class InterfaceMemoryConcurrencyTest : public OpenUnitTest {
  protected:
    static constexpr int kBlockBytes = 24576;
    static constexpr unsigned kPatientMs = 60000;

    // Reads the block's first count bytes (all of it by default): the read's
    // result, and whether every byte is right.
    int ReadWholeBlock(bool &right, unsigned timeoutMs = kPatientMs, int count = kBlockBytes) {
        std::vector<unsigned char> bytes(static_cast<size_t>(count), 0);
        const int result =
            Ostrel_Device_NVMemBlk_Read(device, OSTREL_BLOCK_UNIT_MEMORY, bytes.data(), 0, count, timeoutMs);
        const std::vector<uint8_t> memory = unit->Memory();
        right = std::equal(bytes.begin(), bytes.end(), memory.begin());
        return result;
    }
    // The exchange right after a failed one succeeds, and so do later reads.
    // Whole pieces from here on: byte-by-byte deliveries cost most under Wine
    // and add nothing to what is checked here.
    void ExpectNoPoisoning(const char *after) {
        unit->SetChunkSize(SimUnit::kMaxChunkSize);
        unsigned char reply[8];
        int size = sizeof reply;
        EXPECT_EQ(
            Ostrel_Device_SendCmdAndGetResponse(device, SimUnit::kCmdGetPeriod, nullptr, 0, reply, &size, kPatientMs),
            0)
            << after;
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(Ping(device), 0) << after;
        bool right = false;
        EXPECT_EQ(ReadWholeBlock(right), 0) << after;
        EXPECT_TRUE(right) << after;
    }
};

TEST_F(InterfaceMemoryConcurrencyTest, WholeBlockReadsAtAnyLinkRateAndDeliverySize) {
    struct Link {
        uint32_t rate; // bytes per second, 0: memory speed
        size_t chunk;  // bytes per delivery
    };
    const Link links[] = {{0, SimUnit::kMaxChunkSize}, {0, 1}, {0, 3000}, {90000, 64}};
    for (const Link &link : links) {
        unit->SetLinkRate(link.rate);
        unit->SetChunkSize(link.chunk);
        bool right = false;
        EXPECT_EQ(ReadWholeBlock(right), 0) << link.rate << " bytes/s in pieces of " << link.chunk;
        EXPECT_TRUE(right) << link.rate << " bytes/s in pieces of " << link.chunk;
        EXPECT_EQ(Ping(device), 0);
    }
}

TEST_F(InterfaceMemoryConcurrencyTest, FailedWaitsLeaveNothingToFailTheNextExchange) {
    bool right = false;
    // A time-out in the middle of the reply: 25170 bytes take 1.26 s at 20000
    // bytes/s; the rest keeps coming while the next exchanges run.
    unit->SetLinkRate(20000);
    EXPECT_EQ(ReadWholeBlock(right, 300), -1);
    ExpectNoPoisoning("a time-out in the middle of the reply");
    unit->SetLinkRate(0);

    // The first blob lost (its checksum broken): the blobs after it belong to
    // no reply (98 of the whole block; 8 of a shorter read, in 1-byte pieces).
    for (size_t chunk : {SimUnit::kMaxChunkSize, size_t{1}}) {
        unit->SetChunkSize(chunk);
        unit->CorruptChecksumOfBlob(1);
        EXPECT_EQ(ReadWholeBlock(right, kPatientMs, chunk == 1 ? 2000 : kBlockBytes), -1);
        ExpectNoPoisoning("the first blob lost");
    }
    unit->SetChunkSize(64);

    // The unit's error, in time and too late for its own wait.
    unit->ErrorOnNextCommand();
    EXPECT_EQ(ReadWholeBlock(right), -1);
    ExpectNoPoisoning("an error blob");
    unit->ErrorOnNextCommand();
    unit->DelayNextResponse(500);
    EXPECT_EQ(ReadWholeBlock(right, 50), -1);
    ExpectNoPoisoning("a late error blob");
}

} // namespace
} // namespace iface_test
