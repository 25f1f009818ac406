#include "GDeviceIO.h"

#include "GCircularBuffer.h"
#include "GLiteThread.h"
#include "GThread.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr wchar_t kPortMutexPrefix[] = L"DeviceMutex";
// The claim is tried once at construction and before every operation; on the
// claiming thread it is granted at once (recursive entry).
constexpr uint32_t kPortLockWaitMs = 1;

constexpr PriorityLevel kQueueLockCeiling = kPriorityLevelHighest;
constexpr int32_t kQueueSemaphoreMaximum = 20;
constexpr int32_t kPollingBlockSize = 10000;
constexpr int32_t kSignalledBlockSize = 5000;

constexpr int32_t kFailed = -1;

} // namespace

GDeviceIO::GDeviceIO(const GPortRef &port) : m_portRef(port) {
    const std::wstring name = PortMutexName(port);
    m_portMutex = CreateNamedMutex(name.c_str());
    if (m_portMutex != nullptr)
        m_ownsPort = Platform::IsAcquired(Platform::WaitForMutex(m_portMutex, kPortLockWaitMs));
}

GDeviceIO::~GDeviceIO() {
    if (m_isOpen)
        Close();
    // A Close refused for want of the claim (destruction on another thread)
    // must still not leave a worker running on a freed device.
    StopQueue();
    if (m_portMutex != nullptr) {
        if (m_ownsPort)
            Platform::ReleaseMutex(m_portMutex);
        Platform::CloseHandle(m_portMutex);
        m_portMutex = nullptr;
    }
}

std::wstring GDeviceIO::PortMutexName(const GPortRef &port) {
    std::wstring name = kPortMutexPrefix + port.GetLocation();
    name.erase(std::remove(name.begin(), name.end(), L'\\'), name.end());
    return name;
}

bool GDeviceIO::TakePortLock() {
    // Checked before the wait: a device without the claim must not pick up
    // an acquisition it would never give back.
    if (!m_ownsPort || m_portMutex == nullptr)
        return false;
    return Platform::IsAcquired(Platform::WaitForMutex(m_portMutex, kPortLockWaitMs));
}

void GDeviceIO::ReleasePortLock() {
    Platform::ReleaseMutex(m_portMutex);
}

// ---------------------------------------------------------------- public operations

int32_t GDeviceIO::Open(void *argument) {
    if (!TakePortLock())
        return 0;
    int32_t result = OSOpen(argument);
    if (result == 0 && m_queuedMode && m_queue == nullptr)
        result = StartQueue();
    if (result == 0)
        m_isOpen = true;
    ReleasePortLock();
    return result;
}

int32_t GDeviceIO::Close() {
    if (!TakePortLock())
        return 0;
    StopQueue();
    const int32_t result = OSClose();
    if (result == 0)
        m_isOpen = false;
    ReleasePortLock();
    return result;
}

int32_t GDeviceIO::GetStatus() {
    if (!TakePortLock())
        return 0;
    const int32_t result = OSGetStatus();
    ReleasePortLock();
    return result;
}

int32_t GDeviceIO::Read(uint8_t *buffer, int32_t *count, int32_t flags) {
    if (!TakePortLock())
        return 0;
    const int32_t result = OSRead(buffer, count, flags);
    ReleasePortLock();
    return result;
}

int32_t GDeviceIO::WriteString(const char *text) {
    if (!TakePortLock())
        return 0;
    int32_t count = text != nullptr ? static_cast<int32_t>(std::strlen(text)) : 0;
    const int32_t result = Write(reinterpret_cast<const uint8_t *>(text), &count);
    ReleasePortLock();
    return result;
}

int32_t GDeviceIO::Write(const uint8_t *bytes, int32_t *count) {
    if (!TakePortLock())
        return 0;
    int32_t result = kFailed;
    if (count != nullptr)
        result = (m_queuedMode && m_queue != nullptr) ? QueueBytes(bytes, *count) : OSWrite(bytes, count);
    ReleasePortLock();
    return result;
}

int32_t GDeviceIO::ClearIO() {
    if (!TakePortLock())
        return 0;
    if (m_queue != nullptr)
        m_queue->Clear();
    const int32_t result = OSClearIO();
    ReleasePortLock();
    return result;
}

// ---------------------------------------------------------------- stack-level defaults

bool GDeviceIO::OSInitialize() {
    return true;
}
void GDeviceIO::OSUninitialize() {}
int32_t GDeviceIO::OSOpen(void *) {
    return 0;
}
int32_t GDeviceIO::OSClose() {
    return 0;
}
int32_t GDeviceIO::OSGetStatus() {
    return 0;
}
int32_t GDeviceIO::OSRead(uint8_t *, int32_t *, int32_t) {
    return 0;
}
int32_t GDeviceIO::OSWrite(const uint8_t *, int32_t *) {
    return 0;
}
int32_t GDeviceIO::OSClearIO() {
    return kFailed;
}

// ---------------------------------------------------------------- settings

int32_t GDeviceIO::UpdateReady() {
    m_ready = m_isOpen.load();
    return 0;
}

int32_t GDeviceIO::SetReceiveCallback(ReceiveCallback callback, void *context) {
    m_receiveCallback = callback;
    m_receiveContext = context;
    return 0;
}

int32_t GDeviceIO::SetIOPriority(PriorityLevel level) {
    m_ioPriority = level;
    return level;
}

bool GDeviceIO::IsUsable() {
    return true;
}

int32_t GDeviceIO::SendQueued(const uint8_t *, int32_t *) {
    return kFailed;
}

// ---------------------------------------------------------------- queued-write mode

int32_t GDeviceIO::StartQueue() {
    m_queueLock = CreatePriorityMutex(L"", kQueueLockCeiling);
    if (m_queueLock == nullptr || m_queueLock->mutex == nullptr) {
        Close();
        return kFailed;
    }
    m_queue = new (std::nothrow) GCircularBuffer(m_queueCapacity);
    if (m_queue == nullptr) {
        Close();
        return kFailed;
    }
    m_queue->SetLock(m_queueLock);
    m_queueStopping = false;
    bool started = false;
    if (!m_signalledQueue) {
        m_pollThread = new (std::nothrow) GThread();
        if (m_pollThread != nullptr) {
            m_pollThread->m_body = &GDeviceIO::PollingPass;
            m_pollThread->m_context = this;
            m_pollThread->m_running = 1;
            started = m_pollThread->Start();
        }
    } else {
        m_queueSemaphore = Platform::CreateKernelSemaphore(0, kQueueSemaphoreMaximum);
        m_signalThread = m_queueSemaphore != nullptr ? new (std::nothrow) GLiteThread() : nullptr;
        if (m_signalThread != nullptr) {
            m_signalThread->m_run = &GDeviceIO::SignalledLoop;
            m_signalThread->m_stop = &GDeviceIO::StopSignalledLoop;
            m_signalThread->m_context = this;
            started = m_signalThread->Start();
        }
    }
    // A queue without a worker would swallow every byte written.
    if (!started) {
        Close();
        return kFailed;
    }
    return 0;
}

void GDeviceIO::StopQueue() {
    // The workers go first: they read the queue and the semaphore.
    delete m_pollThread;
    m_pollThread = nullptr;
    delete m_signalThread;
    m_signalThread = nullptr;
    delete m_queue;
    m_queue = nullptr;
    DestroyPriorityMutex(m_queueLock);
    m_queueLock = nullptr;
    Platform::CloseHandle(m_queueSemaphore);
    m_queueSemaphore = nullptr;
}

int32_t GDeviceIO::QueueBytes(const uint8_t *bytes, int32_t count) {
    const int32_t result = m_queue->Write(bytes, count) ? 0 : kFailed;
    if (m_queueSemaphore != nullptr)
        SignalSemaphore(m_queueSemaphore);
    return result;
}

int GDeviceIO::PollingPass(void *context) {
    auto *device = static_cast<GDeviceIO *>(context);
    if (device->m_queue == nullptr)
        return 0;
    device->UpdateReady();
    if (!device->m_ready)
        return 0;
    int32_t count = device->m_queue->GetCount();
    if (count <= 0)
        return 0;
    uint8_t block[kPollingBlockSize];
    count = device->m_queue->Read(block, std::min(count, kPollingBlockSize));
    if (count > 0)
        device->SendQueued(block, &count);
    // Never -1: the worker runs until it is deleted.
    return 0;
}

int GDeviceIO::SignalledLoop(void *context) {
    auto *device = static_cast<GDeviceIO *>(context);
    if (device->m_queue == nullptr || device->m_queueSemaphore == nullptr)
        return kFailed;
    uint8_t block[kSignalledBlockSize];
    for (;;) {
        if (!Platform::IsAcquired(Platform::WaitForSemaphore(device->m_queueSemaphore, Platform::kInfinite)))
            return kFailed;
        if (device->m_queueStopping || !device->m_queuedMode)
            return 0;
        const int32_t available = device->m_queue->GetCount();
        if (available <= 0)
            continue;
        int32_t count = device->m_queue->Read(block, std::min(available, kSignalledBlockSize));
        if (count > 0)
            device->SendQueued(block, &count);
        // Come round again while bytes remain.
        SignalSemaphore(device->m_queueSemaphore);
    }
}

int GDeviceIO::StopSignalledLoop(void *context) {
    auto *device = static_cast<GDeviceIO *>(context);
    if (device->m_queueSemaphore == nullptr)
        return kFailed;
    device->m_queueStopping = true;
    SignalSemaphore(device->m_queueSemaphore);
    return 0;
}
