// The text the command line hands the tool: hex bytes, numbers, channel lists.
#include "ChannelList.h"
#include "Failure.h"
#include "HexCodec.h"
#include "NumberText.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using namespace ostrel_tool;

std::vector<uint8_t> Hex(const std::string &text) {
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(ParseHexBytes(text, bytes, error)) << text << ": " << error;
    return bytes;
}

TEST(ToolHexParse, AcceptsTheUsualSpellings) {
    const std::vector<uint8_t> expected{0x0a, 0x1b, 0xff};
    EXPECT_EQ(Hex("0a 1b ff"), expected);
    EXPECT_EQ(Hex("0a1bFF"), expected);
    EXPECT_EQ(Hex("0x0a,0x1b,0xff"), expected);
    EXPECT_EQ(Hex("0a:1b:ff"), expected);
    EXPECT_EQ(Hex("  a 1b\tff "), expected); // one digit is one byte
    EXPECT_TRUE(Hex("").empty());
}

TEST(ToolHexParse, RejectsWithoutTouchingTheOutput) {
    for (const char *bad : {"0g", "abc", "12 3x4", "0x", "-1"}) {
        std::vector<uint8_t> bytes{0x42};
        std::string error;
        EXPECT_FALSE(ParseHexBytes(bad, bytes, error)) << bad;
        EXPECT_EQ(bytes, std::vector<uint8_t>{0x42}) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(ToolHexDump, LinesCarryAddressBytesAndText) {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 20; ++i)
        bytes.push_back(static_cast<uint8_t>(0x41 + i));
    bytes[1] = 0x00;
    const std::string dump = HexDump(bytes.data(), bytes.size(), 0x5ff0);
    EXPECT_EQ(dump, "5ff0  41 00 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50  |A.CDEFGHIJKLMNOP|\n"
                    "6000  51 52 53 54                                       |QRST|\n");
    // Addresses widen past 0xffff instead of wrapping.
    EXPECT_EQ(HexDump(bytes.data(), 1, 0x10000).substr(0, 6), "10000 ");
    EXPECT_EQ(HexDump(bytes.data(), 0), "");
    EXPECT_EQ(HexBytes(bytes.data(), 3), "41 00 43");
}

TEST(ToolNumbers, IntegersInDecimalAndHex) {
    int32_t v = 7;
    EXPECT_TRUE(ParseInteger("0x5FFF", v));
    EXPECT_EQ(v, 0x5fff);
    EXPECT_TRUE(ParseInteger("-1", v));
    EXPECT_EQ(v, -1);
    EXPECT_TRUE(ParseInteger("-0x10", v));
    EXPECT_EQ(v, -16);
    v = 7;
    for (const char *bad : {"", "-", "0x", "12a", " 1", "1 ", "+-1", "0x1g", "2147483648", "99999999999999999999"})
        EXPECT_FALSE(ParseInteger(bad, v)) << bad;
    EXPECT_EQ(v, 7);
}

TEST(ToolNumbers, BlocksAreTheUnitsMemoryOrOneByte) {
    int32_t block = 0;
    EXPECT_TRUE(ParseBlock("0xFF", block));
    EXPECT_EQ(block, -1);
    EXPECT_TRUE(ParseBlock("255", block));
    EXPECT_EQ(block, -1);
    EXPECT_TRUE(ParseBlock("7", block));
    EXPECT_EQ(block, 7);
    EXPECT_FALSE(ParseBlock("-2", block));
    EXPECT_FALSE(ParseBlock("128", block));
}

TEST(ToolNumbers, ShortNumbersShowFloatFieldsAsWritten) {
    // Data-sheet floats are float32: 0.001f must not print as 0.0010000000475.
    EXPECT_EQ(ShortNumber(0.001f), "0.001");
    EXPECT_EQ(ShortNumber(-40.0f), "-40");
    EXPECT_EQ(ShortNumber(1000.0f), "1000");
    EXPECT_EQ(ShortNumber(11.603f), "11.603");
    EXPECT_EQ(ShortNumber(0.78954f), "0.78954");
    EXPECT_EQ(ShortNumber(65.535), "65.535");
    EXPECT_EQ(ShortNumber(0.0), "0");
    EXPECT_EQ(DecimalsFor(0.001), 3);
    EXPECT_EQ(DecimalsFor(0.25), 2);
    EXPECT_EQ(DecimalsFor(5), 0);
}

TEST(ToolChannelList, ListsRangesAndAll) {
    std::vector<int> channels;
    std::string error;
    ASSERT_TRUE(ParseChannelList("3,4,7", 3, 7, channels, error)) << error;
    EXPECT_EQ(channels, (std::vector<int>{3, 4, 7}));
    ASSERT_TRUE(ParseChannelList("7, 3-5 ,4", 3, 7, channels, error)) << error;
    EXPECT_EQ(channels, (std::vector<int>{7, 3, 4, 5})); // as given, each once
    ASSERT_TRUE(ParseChannelList("all", 3, 7, channels, error)) << error;
    EXPECT_EQ(channels, (std::vector<int>{3, 4, 5, 6, 7}));
}

TEST(ToolChannelList, RefusesWhatIsNotASensorChannel) {
    for (const char *bad : {"", "2", "8", "3,,4", "5-3", "3-9", "x", "3;4", "-1"}) {
        std::vector<int> channels{42};
        std::string error;
        EXPECT_FALSE(ParseChannelList(bad, 3, 7, channels, error)) << bad;
        EXPECT_EQ(channels, std::vector<int>{42}) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(ToolFailure, EveryFailureIsOneLine) {
    const Failure failure =
        CallFailed(ExitCode::DeviceIO, "Ostrel_Device_Open(\"12345\")", "returned null", "did not\nanswer\r");
    EXPECT_EQ(failure.code, ExitCode::DeviceIO);
    EXPECT_EQ(FormatFailureLine(failure), "ostrel: Ostrel_Device_Open(\"12345\") returned null: did not answer ");
    EXPECT_EQ(FormatFailureLine(CallFailed(ExitCode::Failure, "Ostrel_Init", "returned null", "")),
              "ostrel: Ostrel_Init returned null");
    EXPECT_EQ(UsageError("x").code, ExitCode::Usage);
}

} // namespace
