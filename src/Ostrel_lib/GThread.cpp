#include "GThread.h"

#include "Platform.h"
#include "PriorityMutex.h"

namespace {
constexpr uint32_t kStopPollMs = 10;
// The pause between passes, taken in two steps.
constexpr uint32_t kPassPauseFirstMs = 10;
constexpr uint32_t kPassPauseSecondMs = 30;
constexpr int kBodyDone = -1;

void RunRequestedHook(std::atomic<uint8_t> &request, GThread::Function hook, void *context) {
    // Cleared before the hook runs, so that a request raised meanwhile is
    // served on the next pass instead of being lost.
    if (request.exchange(0) != 0 && hook != nullptr)
        hook(context);
}
} // namespace

GThread::GThread() = default;

GThread::~GThread() {
    m_stopRequested = 1;
    if (!m_started)
        return;
    while (m_running.load(std::memory_order_acquire) != 0)
        Platform::Sleep(kStopPollMs);
}

bool GThread::Start() {
    if (m_started)
        return false;
    m_started = Platform::StartThread(&GThreadLoop, this, ThreadPriorityForLevel(kPriorityLevelHighest), 0);
    if (!m_started)
        m_running = 0;
    return m_started;
}

uint32_t GThreadLoop(void *argument) {
    auto *thread = static_cast<GThread *>(argument);
    void *context = thread->m_context;
    int result = 0;
    if (thread->m_onStart == nullptr || thread->m_onStart(context) != 0) {
        if (thread->m_body != nullptr) {
            while (thread->m_singlePass != 0 || thread->m_stopRequested == 0) {
                RunRequestedHook(thread->m_requestA, thread->m_beforePassHookA, context);
                RunRequestedHook(thread->m_requestB, thread->m_beforePassHookB, context);
                result = thread->m_body(context);
                if (result == kBodyDone || thread->m_singlePass != 0)
                    break;
                Platform::Sleep(kPassPauseFirstMs);
                Platform::Sleep(kPassPauseSecondMs);
            }
        }
        if (thread->m_onExit != nullptr)
            thread->m_onExit(context);
    }
    // The last touch of the object: its destructor may free it right after.
    thread->m_running.store(0, std::memory_order_release);
    return static_cast<uint32_t>(result);
}
