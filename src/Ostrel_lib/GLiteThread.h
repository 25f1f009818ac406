// A worker thread that runs one function until a second function tells it to
// return; stopped by deleting the object.
#pragma once

#include <atomic>
#include <cstdint>

class GLiteThread {
  public:
    using Function = int (*)(void *context);

    GLiteThread();
    // Calls m_stop, then waits until the thread can no longer reach the
    // object (also when it was started but has not begun m_run yet).
    virtual ~GLiteThread();
    GLiteThread(const GLiteThread &) = delete;
    GLiteThread &operator=(const GLiteThread &) = delete;

    // Starts GLiteThreadProc on a new thread at the highest level (3). False
    // when it was already started or the platform refused.
    bool Start();
    bool Started() const { return m_started; }

    Function m_run = nullptr;
    Function m_stop = nullptr;
    void *m_context = nullptr;
    // 1 from Start until the thread is done with the object.
    std::atomic<uint8_t> m_running{0};

  private:
    bool m_started = false;
};

// The procedure of the started thread; the argument is the GLiteThread.
// Returns m_run's result, or 0 without m_run.
uint32_t GLiteThreadProc(void *thread);
