#include "GCircularBuffer.h"

#include "PriorityMutex.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace {

// Runs a ring operation under the ring's lock when it has one. A ring without
// a lock runs unguarded.
class RingGuard {
  public:
    explicit RingGuard(PriorityMutex *lock) : m_lock(lock), m_held(lock) {}
    bool Granted() const { return m_lock == nullptr || m_held.Locked(); }

  private:
    PriorityMutex *m_lock;
    PriorityLock m_held;
};

} // namespace

GCircularBuffer::GCircularBuffer(int32_t capacity)
    : GCircularBuffer(StorageSize{capacity < std::numeric_limits<int32_t>::max() ? capacity + 1 : capacity}) {}

GCircularBuffer::GCircularBuffer(StorageSize storage) {
    const int32_t size = std::max<int32_t>(storage.bytes, 1);
    m_buffer = new (std::nothrow) uint8_t[size];
    if (m_buffer != nullptr) {
        m_size = size;
    } else {
        m_buffer = &m_fallbackStorage;
        m_size = 1;
    }
}

GCircularBuffer::~GCircularBuffer() {
    if (m_buffer != &m_fallbackStorage)
        delete[] m_buffer;
}

int32_t GCircularBuffer::UnreadCount() const {
    const int32_t difference = m_writeIndex - m_readIndex;
    return difference < 0 ? difference + m_size : difference;
}

void GCircularBuffer::WriteWrapping(const uint8_t *bytes, int32_t count, int32_t used) {
    // The end state of storing byte by byte and dropping the oldest unread
    // byte whenever the ring is full, in at most two copies: only the last
    // m_size bytes stay in the storage, and the read index moves past every
    // byte dropped. 64-bit sums: a huge count must not overflow.
    const int64_t dropped = std::max<int64_t>(0, static_cast<int64_t>(used) + count - (m_size - 1));
    const int32_t skipped = count > m_size ? count - m_size : 0;
    const int32_t stored = count - skipped;
    const auto at = static_cast<int32_t>((static_cast<int64_t>(m_writeIndex) + skipped) % m_size);
    const int32_t first = std::min(stored, m_size - at);
    std::memcpy(m_buffer + at, bytes + skipped, static_cast<size_t>(first));
    std::memcpy(m_buffer, bytes + skipped + first, static_cast<size_t>(stored - first));
    m_writeIndex = static_cast<int32_t>((static_cast<int64_t>(m_writeIndex) + count) % m_size);
    m_readIndex = static_cast<int32_t>((static_cast<int64_t>(m_readIndex) + dropped) % m_size);
}

bool GCircularBuffer::Write(const void *bytes, int32_t count) {
    RingGuard guard(m_lock);
    if (!guard.Granted())
        return false;
    return WriteHeld(bytes, count);
}

bool GCircularBuffer::WriteHeld(const void *bytes, int32_t count) {
    if (count <= 0)
        return true;
    if (bytes == nullptr)
        return false;
    const auto *source = static_cast<const uint8_t *>(bytes);
    const int32_t used = UnreadCount();
    // 64-bit sums: a huge count must not overflow the tests.
    const bool fitsWithRoom = static_cast<int64_t>(used) + count < m_size - 1;
    if (fitsWithRoom && static_cast<int64_t>(m_writeIndex) + count < m_size) {
        std::memcpy(m_buffer + m_writeIndex, source, static_cast<size_t>(count));
        m_writeIndex += count;
    } else {
        // Wraps, fills or overflows.
        WriteWrapping(source, count, used);
    }
    return true;
}

int32_t GCircularBuffer::Read(void *destination, int32_t maxCount) {
    RingGuard guard(m_lock);
    if (!guard.Granted() || maxCount <= 0 || destination == nullptr)
        return 0;
    const int32_t taken = std::min(maxCount, UnreadCount());
    // At most two block copies: up to the end of the storage, then from 0.
    const int32_t first = std::min(taken, m_size - m_readIndex);
    auto *target = static_cast<uint8_t *>(destination);
    std::memcpy(target, m_buffer + m_readIndex, static_cast<size_t>(first));
    std::memcpy(target + first, m_buffer, static_cast<size_t>(taken - first));
    m_readIndex = (first < taken) ? taken - first : m_readIndex + taken;
    if (m_readIndex == m_size)
        m_readIndex = 0;
    return taken;
}

int32_t GCircularBuffer::Peek(void *destination, int32_t skip) {
    RingGuard guard(m_lock);
    if (!guard.Granted() || skip < 0 || destination == nullptr)
        return 0;
    const int32_t remaining = UnreadCount() - skip;
    if (remaining <= 0)
        return 0;
    const int32_t copied = std::min(remaining, kPeekWindow);
    auto *target = static_cast<uint8_t *>(destination);
    for (int32_t j = 0; j < copied; ++j) {
        int64_t position = static_cast<int64_t>(m_readIndex) + skip + j;
        if (position >= m_size)
            position -= m_size;
        target[j] = m_buffer[position];
    }
    return copied;
}

int32_t GCircularBuffer::GetCount() {
    RingGuard guard(m_lock);
    return guard.Granted() ? UnreadCount() : 0;
}

bool GCircularBuffer::Clear() {
    RingGuard guard(m_lock);
    if (!guard.Granted())
        return false;
    m_readIndex = 0;
    m_writeIndex = 0;
    return true;
}
