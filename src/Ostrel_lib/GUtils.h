// Tracing: single lines on the debugger output, filtered by a process-wide
// threshold. Every message subject to the threshold has severity 10.
#pragma once

#include <atomic>
#include <cstdint>
#include <sstream>
#include <string>

// 100 when the module loads; the host sets it through the diagnostics exports.
// Atomic so that the host may change it while reader threads trace.
extern std::atomic<int32_t> DebugTraceThreshold;

constexpr int32_t kTraceSeverity = 10;

inline bool IsTraceEnabled() { return DebugTraceThreshold.load(std::memory_order_relaxed) <= kTraceSeverity; }

// Severity-10 trace: tests the threshold, then TraceLine.
void TraceIfEnabled(const std::wstring &message, const wchar_t *file, int line);
// Unconditional: no threshold test. A null or empty file, or line -1, writes
// the bare message.
void TraceText(const wchar_t *message, const wchar_t *file, int line);
// Formats "file(line) : message\n" (or the bare message) and emits it.
void TraceLine(const wchar_t *file, int line, const std::wstring &message);
// Hands text to the debugger output, cut to 511 characters when longer than 512.
void EmitDebugText(const wchar_t *text);

// Tests only: while a hook is set, every text EmitDebugText would hand to the
// sink goes to the hook instead. Pass null to restore the sink.
using TraceCaptureHook = void (*)(const wchar_t *text, void *context);
void SetTraceCaptureHook(TraceCaptureHook hook, void *context);

// Severity-10 trace built with a wide string stream, formatted only when the
// threshold lets it through. Each source file defines kTraceModule, the module
// name that its trace lines carry.
#define OSTREL_TRACE(streamExpression)                                                                                 \
    do {                                                                                                               \
        if (IsTraceEnabled()) {                                                                                        \
            std::wostringstream ostrelTraceStream_;                                                                    \
            ostrelTraceStream_ << streamExpression;                                                                    \
            TraceLine(kTraceModule, __LINE__, ostrelTraceStream_.str());                                               \
        }                                                                                                              \
    } while (0)
