// Shared by the device tests: ports of their own, a device that records its
// stack-level calls, and small thread helpers.
#pragma once

#include "GDeviceIO.h"
#include "GPortRef.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace device_test {

using Bytes = std::vector<uint8_t>;

inline int ProcessId() {
#ifdef _WIN32
    return _getpid();
#else
    return static_cast<int>(getpid());
#endif
}

// A port whose claim no other test or test process shares. `prefix` comes in
// front of the unique part of the location (backslashes allowed).
class TestPort {
  public:
    explicit TestPort(const std::wstring &prefix = L"") {
        static std::atomic<int> counter{0};
        const int n = ++counter;
        m_location = prefix + L"devtest" + std::to_wstring(ProcessId()) + L"x" + std::to_wstring(n);
        m_port = GPortRef(m_location, L"unit" + std::to_wstring(n), L"", nullptr, 0);
    }
    TestPort(const TestPort &) = delete;
    TestPort &operator=(const TestPort &) = delete;

    const GPortRef &Port() const { return m_port; }
    const std::wstring &Location() const { return m_location; }
    std::string NarrowMutexName() const {
        const std::wstring name = GDeviceIO::PortMutexName(m_port);
        return std::string(name.begin(), name.end());
    }

  private:
    std::wstring m_location;
    GPortRef m_port;
};

// A device whose stack-level half records what reaches it.
class RecordingDevice : public GDeviceIO {
  public:
    using GDeviceIO::GDeviceIO;

    int32_t OSOpen(void *) override {
        ++opens;
        return openResult;
    }
    int32_t OSClose() override {
        ++closes;
        return closeResult;
    }
    int32_t OSWrite(const uint8_t *bytes, int32_t *count) override {
        std::lock_guard<std::mutex> lock(mutex);
        writeCounts.push_back(*count);
        written.insert(written.end(), bytes, bytes + *count);
        return 0;
    }
    // Bytes that the queued-write workers hand over.
    int32_t SendQueued(const uint8_t *bytes, int32_t *count) override {
        std::lock_guard<std::mutex> lock(mutex);
        sentQueued.insert(sentQueued.end(), bytes, bytes + *count);
        return 0;
    }
    size_t QueuedSize() {
        std::lock_guard<std::mutex> lock(mutex);
        return sentQueued.size();
    }

    int32_t openResult = 0;
    int32_t closeResult = 0;
    std::atomic<int> opens{0};
    std::atomic<int> closes{0};
    std::mutex mutex;
    std::vector<int32_t> writeCounts;
    Bytes written;
    Bytes sentQueued;
};

// Polls until the condition holds or a generous bound passes.
template <typename Condition> bool WaitUntil(Condition condition, int boundMs = 30000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Runs fn on a fresh thread and waits for it.
template <typename Fn> void OnOtherThread(Fn fn) {
    std::thread thread(fn);
    thread.join();
}

// A thread that creates a device and keeps it, and so its claim, until
// Finish; the device is destroyed on the thread that created it.
template <typename Device> class ClaimingThread {
  public:
    explicit ClaimingThread(const GPortRef &port) : m_thread([this, port] { Run(port); }) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_created; });
    }
    ~ClaimingThread() { Finish(); }
    ClaimingThread(const ClaimingThread &) = delete;
    ClaimingThread &operator=(const ClaimingThread &) = delete;

    bool Owns() const { return m_owns; }
    void Finish() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_finish = true;
        }
        m_changed.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }

  private:
    void Run(const GPortRef &port) {
        Device device(port);
        std::unique_lock<std::mutex> lock(m_mutex);
        m_owns = device.m_ownsPort;
        m_created = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_finish; });
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_created = false;
    bool m_finish = false;
    bool m_owns = false;
    std::thread m_thread; // last: it starts running at once
};

} // namespace device_test
