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

} // namespace
} // namespace iface_test
