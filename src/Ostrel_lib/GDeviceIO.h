// A link to one device: opened, written to, closed, and handing every chunk of
// received bytes to a callback. It claims its port against every other user
// (in this and other processes) with a named kernel mutex that the creating
// thread keeps until the device is destroyed; every public operation runs
// under that claim. The stack-level halves (the OS... operations) come from
// subclasses.
#pragma once

#include "GPortRef.h"
#include "Platform.h"
#include "PriorityMutex.h"

#include <atomic>
#include <cstdint>
#include <string>

class GCircularBuffer;
class GThread;
class GLiteThread;

// Runs on the stack's receive thread with each chunk of inbound bytes.
using ReceiveCallback = void (*)(const uint8_t *bytes, int32_t count, void *context);

class GDeviceIO {
  public:
    explicit GDeviceIO(const GPortRef &port);
    virtual ~GDeviceIO();
    GDeviceIO(const GDeviceIO &) = delete;
    GDeviceIO &operator=(const GDeviceIO &) = delete;

    // Public operations: each takes the port lock (a 1 ms try that succeeds at
    // once on the claiming thread) and returns 0 without effect without it.
    virtual int32_t Open(void *argument);
    virtual int32_t Close();
    virtual int32_t GetStatus();
    virtual int32_t Read(uint8_t *buffer, int32_t *count, int32_t flags);
    virtual int32_t WriteString(const char *text);
    virtual int32_t Write(const uint8_t *bytes, int32_t *count);
    virtual int32_t ClearIO();

    // Stack-level halves.
    virtual bool OSInitialize();
    virtual void OSUninitialize();
    virtual int32_t OSOpen(void *argument);
    virtual int32_t OSClose();
    virtual int32_t OSGetStatus();
    virtual int32_t OSRead(uint8_t *buffer, int32_t *count, int32_t flags);
    virtual int32_t OSWrite(const uint8_t *bytes, int32_t *count);
    virtual int32_t OSClearIO();

    virtual int32_t UpdateReady();
    // Must be called before Open: the stack copies both when it connects.
    virtual int32_t SetReceiveCallback(ReceiveCallback callback, void *context);
    virtual int32_t SetIOPriority(PriorityLevel level);
    virtual bool IsUsable();
    virtual int32_t SendQueued(const uint8_t *bytes, int32_t *count);

    // The port lock of the public operations, also taken by the stack
    // implementations: a 1 ms wait on m_portMutex, refused without the claim.
    bool TakePortLock();
    void ReleasePortLock();

    // The name of the port's claim: "DeviceMutex" + location, backslashes removed.
    static std::wstring PortMutexName(const GPortRef &port);

    ReceiveCallback m_receiveCallback = nullptr;
    void *m_receiveContext = nullptr;
    GPortRef m_portRef;
    PriorityLevel m_ioPriority = kPriorityLevelNormal;
    // The queued-write mode: off unless the owner turns it on before Open.
    // Flags that worker threads read are atomic.
    std::atomic<bool> m_queuedMode{false};
    bool m_signalledQueue = false;
    int32_t m_queueCapacity = 50000;
    GCircularBuffer *m_queue = nullptr;
    PriorityMutex *m_queueLock = nullptr;
    Platform::Handle m_queueSemaphore = nullptr;
    GThread *m_pollThread = nullptr;
    GLiteThread *m_signalThread = nullptr;
    // Tells the signalled worker to return; kept apart from m_queuedMode so
    // that a device reopened after Close is still in queued mode.
    std::atomic<bool> m_queueStopping{false};
    Platform::Handle m_portMutex = nullptr;
    bool m_ownsPort = false;
    std::atomic<bool> m_isOpen{false};
    std::atomic<bool> m_ready{false};

  private:
    // Queued-write mode: set-up on the first Open (0 or -1), teardown on
    // Close and destruction.
    int32_t StartQueue();
    void StopQueue();
    int32_t QueueBytes(const uint8_t *bytes, int32_t count);
    static int PollingPass(void *device);
    static int SignalledLoop(void *device);
    static int StopSignalledLoop(void *device);
};
