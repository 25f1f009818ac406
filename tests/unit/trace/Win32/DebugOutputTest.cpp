// Proves once that trace lines really reach OutputDebugStringW: Windows (and
// Wine) deliver them as the debug-print exception, which a vectored handler in
// this process sees before any debugger would.
#ifdef _WIN32
#include "GUtils.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

namespace {
constexpr DWORD kDebugPrintException = 0x40010006;     // narrow text
constexpr DWORD kDebugPrintWideException = 0x4001000A; // wide text, newer systems

std::mutex g_seenMutex;
std::vector<std::string> g_seen;

LONG CALLBACK CollectDebugPrint(EXCEPTION_POINTERS *info) {
    const EXCEPTION_RECORD *record = info->ExceptionRecord;
    if (record->ExceptionCode == kDebugPrintException && record->NumberParameters >= 2) {
        const auto *text = reinterpret_cast<const char *>(record->ExceptionInformation[1]);
        std::lock_guard<std::mutex> lock(g_seenMutex);
        g_seen.emplace_back(text != nullptr ? text : "");
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    if (record->ExceptionCode == kDebugPrintWideException)
        return EXCEPTION_CONTINUE_EXECUTION; // the narrow form follows
    return EXCEPTION_CONTINUE_SEARCH;
}

TEST(TraceWin32, LineReachesOutputDebugStringW) {
    PVOID handler = AddVectoredExceptionHandler(1, CollectDebugPrint);
    ASSERT_NE(handler, nullptr);
    const int32_t saved = DebugTraceThreshold;
    DebugTraceThreshold = 10;
    TraceIfEnabled(L"debugger output check", L"DebugOutputTest.cpp", 40);
    DebugTraceThreshold = saved;
    RemoveVectoredExceptionHandler(handler);

    std::lock_guard<std::mutex> lock(g_seenMutex);
    bool found = false;
    for (const std::string &text : g_seen)
        found = found || text == "DebugOutputTest.cpp(40) : debugger output check\n";
    EXPECT_TRUE(found) << "lines seen: " << g_seen.size();
}
} // namespace
#endif
