// Shared by the platform tests: unique object names and a one-shot helper
// thread.
#pragma once

#include "Platform.h"

#include <atomic>
#include <string>
#include <thread>
#include <utility>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace PlatformTest {

inline int ProcessId() {
#ifdef _WIN32
    return _getpid();
#else
    return static_cast<int>(getpid());
#endif
}

// A mutex name unique to this process and call, so that concurrent test runs
// never share an object.
class UniqueName {
  public:
    explicit UniqueName(const std::wstring &label) {
        static std::atomic<int> counter{0};
        std::string prefix = "OstrelTest." + std::to_string(ProcessId()) + "." + std::to_string(++counter) + ".";
        m_name = std::wstring(prefix.begin(), prefix.end()) + label;
    }
    UniqueName(const UniqueName &) = delete;
    UniqueName &operator=(const UniqueName &) = delete;

    const wchar_t *Wide() const { return m_name.c_str(); }
    std::string Narrow() const { return std::string(m_name.begin(), m_name.end()); } // ASCII names only

  private:
    std::wstring m_name;
};

// Runs fn on a fresh thread and waits for it to end; returns its result.
template <typename Fn> auto OnOtherThread(Fn fn) -> decltype(fn()) {
    decltype(fn()) result{};
    std::thread thread([&] { result = fn(); });
    thread.join();
    return result;
}

// Milliseconds a call took, by the platform's tick count.
template <typename Fn> uint32_t ElapsedMs(Fn fn) {
    uint32_t start = Platform::GetTickCount();
    fn();
    return Platform::GetTickCount() - start;
}

} // namespace PlatformTest
