// A polling worker thread: calls m_body over and over with a 40 ms pause until
// it returns -1 or the object is deleted.
#pragma once

#include <atomic>
#include <cstdint>

class GThread {
  public:
    using Function = int (*)(void *context);

    // The owner fills the fields, then calls Start. m_running starts at 1.
    GThread();
    // Asks the loop to stop and, if it is running, waits for the pass in
    // progress to end. Returns at once for a thread that never started.
    virtual ~GThread();
    GThread(const GThread &) = delete;
    GThread &operator=(const GThread &) = delete;

    // Starts GThreadLoop on a new thread at the highest level (3). False when
    // it was already started or the platform refused; then m_running is 0.
    bool Start();
    bool Started() const { return m_started; }

    Function m_body = nullptr;
    Function m_beforePassHookA = nullptr;
    Function m_beforePassHookB = nullptr;
    // A 0 result cancels the loop and m_onExit.
    Function m_onStart = nullptr;
    Function m_onExit = nullptr;
    void *m_context = nullptr;

    // Written by one thread and read by another, hence atomic.
    std::atomic<uint8_t> m_stopRequested{0};
    std::atomic<uint8_t> m_running{1};
    std::atomic<uint8_t> m_requestB{0};
    std::atomic<uint8_t> m_requestA{0};
    std::atomic<uint8_t> m_singlePass{0};

  private:
    // The platform owns the thread's handle; all the object keeps is whether
    // a thread was started for it.
    bool m_started = false;
};

// The procedure of the started thread; the argument is the GThread. Returns
// the last body result, or 0.
uint32_t GThreadLoop(void *thread);
