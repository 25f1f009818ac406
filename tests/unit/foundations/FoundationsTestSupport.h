// Small helpers shared by the foundation tests.
#pragma once

#include "PriorityMutex.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace foundations_test {

// Polls until the condition holds or a generous bound passes (slow emulated
// platforms included). Returns whether the condition held.
template <typename Condition> bool WaitUntil(Condition condition, int boundMs = 30000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Puts the calling thread's priority level back when the test ends.
class PriorityLevelRestorer {
  public:
    PriorityLevelRestorer() : m_saved(GetCurrentPriorityLevel()) {}
    ~PriorityLevelRestorer() { SetCurrentPriorityLevel(m_saved); }
    PriorityLevelRestorer(const PriorityLevelRestorer &) = delete;
    PriorityLevelRestorer &operator=(const PriorityLevelRestorer &) = delete;

  private:
    PriorityLevel m_saved;
};

// Takes something on its own thread (`take` says whether it got it) and keeps
// it until LetGo, which runs `give` on that thread if it was taken.
class HoldingThread {
  public:
    HoldingThread(std::function<bool()> take, std::function<void()> give)
        : m_thread([this, take, give] {
              m_taken = take();
              m_holding = true;
              while (!m_letGo)
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              if (m_taken && give)
                  give();
          }) {
        WaitUntil([this] { return m_holding.load(); });
    }
    ~HoldingThread() { LetGo(); }
    HoldingThread(const HoldingThread &) = delete;
    HoldingThread &operator=(const HoldingThread &) = delete;

    bool Taken() const { return m_taken; }
    void LetGo() {
        m_letGo = true;
        if (m_thread.joinable())
            m_thread.join();
    }

  private:
    std::atomic<bool> m_taken{false};
    std::atomic<bool> m_holding{false};
    std::atomic<bool> m_letGo{false};
    std::thread m_thread;
};

} // namespace foundations_test
