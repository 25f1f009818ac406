// What reaches the debugger output: the threshold, the line format and the cut.
#include "GUtils.h"
#include "TraceCapture.h"

#include <gtest/gtest.h>

namespace {
const wchar_t kModule[] = L"TraceTest.cpp";

TEST(Trace, ThresholdDecidesSeverityTenMessages) {
    for (int32_t threshold : {10, 9, -5}) {
        TraceCapture capture(threshold);
        TraceIfEnabled(L"shown", kModule, 7);
        EXPECT_EQ(capture.Lines().size(), 1u) << "threshold " << threshold;
    }
    for (int32_t threshold : {11, 100}) {
        TraceCapture capture(threshold);
        TraceIfEnabled(L"hidden", kModule, 7);
        EXPECT_TRUE(capture.Lines().empty()) << "threshold " << threshold;
    }
}

TEST(Trace, LineCarriesFileLineAndBreak) {
    TraceCapture capture;
    TraceIfEnabled(L"Lock retry time is 42", kModule, 677);
    ASSERT_EQ(capture.Lines().size(), 1u);
    EXPECT_EQ(capture.Lines()[0], L"TraceTest.cpp(677) : Lock retry time is 42\n");
}

TEST(Trace, EmptyMessageKeepsPrefixAndBreak) {
    TraceCapture capture;
    TraceLine(kModule, 3, L"");
    ASSERT_EQ(capture.Lines().size(), 1u);
    EXPECT_EQ(capture.Lines()[0], L"TraceTest.cpp(3) : \n");
}

TEST(Trace, NoFileOrNoLineGivesTheBareMessageWhateverTheThreshold) {
    TraceCapture capture(100);
    TraceText(L"bare one", nullptr, -1);
    TraceText(L"bare two", L"", 12);
    TraceText(L"bare three", kModule, -1);
    EXPECT_EQ(capture.Lines(), (std::vector<std::wstring>{L"bare one", L"bare two", L"bare three"}));
}

TEST(Trace, MacroFormatsOnlyWhenEnabled) {
    int formatted = 0;
    auto count = [&formatted] { return ++formatted; };
    const wchar_t *const kTraceModule = kModule;
    {
        TraceCapture capture(100);
        OSTREL_TRACE(L"value " << count());
        EXPECT_EQ(formatted, 0);
    }
    TraceCapture capture(10);
    OSTREL_TRACE(L"value " << count() << L" = " << std::hex << 255 << L"h");
    EXPECT_EQ(formatted, 1);
    EXPECT_TRUE(capture.Contains(L") : value 1 = ffh\n"));
}

TEST(Trace, LongTextIsCutTo511Characters) {
    TraceCapture capture;
    const std::wstring exactly512(512, L'x');
    EmitDebugText(exactly512.c_str());
    const std::wstring longer(600, L'y');
    EmitDebugText(longer.c_str());
    ASSERT_EQ(capture.Lines().size(), 2u);
    EXPECT_EQ(capture.Lines()[0], exactly512);
    EXPECT_EQ(capture.Lines()[1], std::wstring(511, L'y'));
}

TEST(Trace, FormattedLineIsCutAfterItsPrefix) {
    TraceCapture capture;
    TraceLine(kModule, 1, std::wstring(600, L'z'));
    ASSERT_EQ(capture.Lines().size(), 1u);
    const std::wstring line = capture.Lines()[0];
    EXPECT_EQ(line.size(), 511u);
    EXPECT_EQ(line.rfind(L"TraceTest.cpp(1) : ", 0), 0u);
    EXPECT_EQ(line.back(), L'z'); // the line break was cut off with the rest
}
} // namespace
