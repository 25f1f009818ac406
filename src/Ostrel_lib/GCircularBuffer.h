// A fixed-size byte ring that overwrites its oldest bytes when full, so that a
// producer never waits for a consumer. Every operation runs under the optional
// m_lock (not owned), so the rings of one owner can share one lock.
#pragma once

#include <cstdint>

struct PriorityMutex;

class GCircularBuffer {
  public:
    // The size of the storage, one byte more than the ring holds.
    struct StorageSize {
        int32_t bytes;
    };
    // How many bytes Peek looks at, at most.
    static constexpr int32_t kPeekWindow = 26;

    // Holds at most `capacity` bytes.
    explicit GCircularBuffer(int32_t capacity);
    // Holds at most storage.bytes - 1 bytes.
    explicit GCircularBuffer(StorageSize storage);
    virtual ~GCircularBuffer();
    GCircularBuffer(const GCircularBuffer &) = delete;
    GCircularBuffer &operator=(const GCircularBuffer &) = delete;

    // Set by the owner before the ring is shared between threads.
    void SetLock(PriorityMutex *lock) { m_lock = lock; }
    PriorityMutex *GetLock() const { return m_lock; }
    int32_t GetCapacity() const { return m_size - 1; }

    // Appends count bytes, dropping the oldest when they do not fit. False
    // when the lock is refused or bytes is null with a positive count
    // (nothing written).
    bool Write(const void *bytes, int32_t count);
    // Write for an owner that already holds the ring's lock (or a ring
    // without one): the same, without taking the lock again.
    bool WriteHeld(const void *bytes, int32_t count);
    // Removes up to maxCount of the oldest bytes into destination; returns
    // how many. 0 when the lock is refused or maxCount is not positive.
    int32_t Read(void *destination, int32_t maxCount);
    // Copies, without removing, up to kPeekWindow bytes that follow the first
    // `skip` unread ones; returns how many. 0 when the lock is refused.
    int32_t Peek(void *destination, int32_t skip);
    // Unread bytes; 0 when the lock is refused.
    int32_t GetCount();
    // Discards every unread byte; false when the lock is refused.
    bool Clear();

  private:
    int32_t UnreadCount() const;
    void WriteWrapping(const uint8_t *bytes, int32_t count, int32_t used);

    PriorityMutex *m_lock = nullptr;
    uint8_t *m_buffer = nullptr;
    int32_t m_readIndex = 0;
    int32_t m_writeIndex = 0;
    int32_t m_size = 1;
    // Storage of last resort when the allocation fails: a ring that holds
    // nothing, rather than an exception out of a constructor.
    uint8_t m_fallbackStorage = 0;
};
