#include "GUtils.h"

#include "Platform.h"

#include <cwchar>

std::atomic<int32_t> DebugTraceThreshold{100};

namespace {
// The longest text handed to the sink whole; longer ones keep their first
// kTraceKeptChars characters.
constexpr size_t kTraceMaxChars = 512;
constexpr size_t kTraceKeptChars = 511;

struct CaptureHook {
    std::atomic<TraceCaptureHook> hook{nullptr};
    std::atomic<void *> context{nullptr};
};
CaptureHook g_capture;
} // namespace

void SetTraceCaptureHook(TraceCaptureHook hook, void *context) {
    g_capture.context.store(context);
    g_capture.hook.store(hook);
}

void EmitDebugText(const wchar_t *text) {
    if (text == nullptr)
        return;
    wchar_t shortened[kTraceMaxChars];
    if (std::wcslen(text) > kTraceMaxChars) {
        std::wmemcpy(shortened, text, kTraceKeptChars);
        shortened[kTraceKeptChars] = L'\0';
        text = shortened;
    }
    if (TraceCaptureHook hook = g_capture.hook.load())
        hook(text, g_capture.context.load());
    else
        Platform::OutputDebugText(text);
}

void TraceLine(const wchar_t *file, int line, const std::wstring &message) {
    if (file == nullptr || *file == L'\0' || line == -1) {
        EmitDebugText(message.c_str());
        return;
    }
    std::wstring text(file);
    text += L'(';
    text += std::to_wstring(line);
    text += L") : ";
    text += message;
    text += L'\n';
    EmitDebugText(text.c_str());
}

void TraceIfEnabled(const std::wstring &message, const wchar_t *file, int line) {
    if (IsTraceEnabled())
        TraceLine(file, line, message);
}

void TraceText(const wchar_t *message, const wchar_t *file, int line) {
    TraceLine(file, line, message != nullptr ? std::wstring(message) : std::wstring());
}
