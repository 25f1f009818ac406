// Collects the trace lines that would reach the debugger output, for the
// lifetime of the object, and sets the threshold it is given (restored after).
#pragma once

#include "GUtils.h"

#include <mutex>
#include <string>
#include <vector>

class TraceCapture {
public:
    explicit TraceCapture(int32_t threshold = 10) : m_savedThreshold(DebugTraceThreshold.load()) {
        DebugTraceThreshold = threshold;
        SetTraceCaptureHook(&TraceCapture::Collect, this);
    }
    ~TraceCapture() {
        SetTraceCaptureHook(nullptr, nullptr);
        DebugTraceThreshold = m_savedThreshold;
    }
    TraceCapture(const TraceCapture &) = delete;
    TraceCapture &operator=(const TraceCapture &) = delete;

    std::vector<std::wstring> Lines() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    // All captured text, one line after the other.
    std::wstring Text() const {
        std::wstring all;
        for (const auto &line : Lines())
            all += line;
        return all;
    }
    bool Contains(const std::wstring &fragment) const { return Text().find(fragment) != std::wstring::npos; }
    size_t Count(const std::wstring &fragment) const {
        size_t n = 0;
        for (const auto &line : Lines())
            if (line.find(fragment) != std::wstring::npos)
                ++n;
        return n;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.clear();
    }

private:
    static void Collect(const wchar_t *text, void *context) {
        auto *self = static_cast<TraceCapture *>(context);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_lines.emplace_back(text);
    }

    int32_t m_savedThreshold;
    mutable std::mutex m_mutex;
    std::vector<std::wstring> m_lines;
};
