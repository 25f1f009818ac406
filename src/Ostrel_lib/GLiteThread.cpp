#include "GLiteThread.h"

#include "Platform.h"
#include "PriorityMutex.h"

namespace {
constexpr uint32_t kStopPollMs = 10;
}

GLiteThread::GLiteThread() = default;

GLiteThread::~GLiteThread() {
    if (m_stop != nullptr)
        m_stop(m_context);
    while (m_running.load(std::memory_order_acquire) != 0)
        Platform::Sleep(kStopPollMs);
}

bool GLiteThread::Start() {
    if (m_started)
        return false;
    // Raised before the thread exists, so that the destructor waits for a
    // thread that has been started but not yet scheduled.
    m_running = 1;
    m_started = Platform::StartThread(&GLiteThreadProc, this, ThreadPriorityForLevel(kPriorityLevelHighest), 0);
    if (!m_started)
        m_running = 0;
    return m_started;
}

uint32_t GLiteThreadProc(void *argument) {
    auto *thread = static_cast<GLiteThread *>(argument);
    int result = 0;
    if (thread->m_run != nullptr) {
        thread->m_running = 1;
        result = thread->m_run(thread->m_context);
    }
    // The last touch of the object: its destructor may free it right after.
    thread->m_running.store(0, std::memory_order_release);
    return static_cast<uint32_t>(result);
}
