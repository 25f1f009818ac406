#include "GCircularBuffer.h"
#include "FoundationsTestSupport.h"
#include "PriorityMutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using foundations_test::HoldingThread;
using foundations_test::PriorityLevelRestorer;

Bytes Sequence(uint8_t first, size_t length) {
    Bytes bytes(length);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

void Write(GCircularBuffer &ring, const Bytes &bytes) {
    ASSERT_TRUE(ring.Write(bytes.data(), static_cast<int32_t>(bytes.size())));
}

Bytes ReadAll(GCircularBuffer &ring) {
    Bytes bytes(static_cast<size_t>(ring.GetCapacity()) + 1, 0xEE);
    bytes.resize(static_cast<size_t>(ring.Read(bytes.data(), static_cast<int32_t>(bytes.size()))));
    return bytes;
}

Bytes Peek(GCircularBuffer &ring, int32_t skip) {
    Bytes window(GCircularBuffer::kPeekWindow + 4, 0xEE);
    window.resize(static_cast<size_t>(ring.Peek(window.data(), skip)));
    return window;
}

TEST(GCircularBuffer, CapacityFiveHoldsFiveAndASixthByteDropsTheFirst) {
    GCircularBuffer ring(5);
    EXPECT_EQ(5, ring.GetCapacity());
    Write(ring, Sequence(1, 5));
    EXPECT_EQ(5, ring.GetCount());
    Write(ring, {6});
    EXPECT_EQ(5, ring.GetCount());
    EXPECT_EQ(Sequence(2, 5), ReadAll(ring));
    EXPECT_EQ(0, ring.GetCount());
}

TEST(GCircularBuffer, OverflowKeepsTheNewestBytesInOrder) {
    GCircularBuffer eight(5);
    Write(eight, Sequence(1, 8));
    EXPECT_EQ(Sequence(4, 5), ReadAll(eight));

    GCircularBuffer big(5);
    Write(big, Sequence(200, 3));
    ASSERT_EQ(2, big.Read(Bytes(2).data(), 2)); // indices away from 0
    Write(big, Sequence(0, 100));
    EXPECT_EQ(Sequence(95, 5), ReadAll(big));
}

TEST(GCircularBuffer, WriteThatExactlyFillsLosesNothingAlsoAcrossTheEnd) {
    GCircularBuffer ring(5);
    Write(ring, Sequence(1, 2));
    Write(ring, Sequence(3, 3));
    EXPECT_EQ(Sequence(1, 5), ReadAll(ring));

    // Indices now near the end of the storage: the next fill wraps.
    Write(ring, Sequence(10, 5));
    EXPECT_EQ(Sequence(10, 5), ReadAll(ring));
}

TEST(GCircularBuffer, WrappedContentsComeOutInOrder) {
    GCircularBuffer ring(5);
    Write(ring, Sequence(1, 4));
    Bytes first(3);
    ASSERT_EQ(3, ring.Read(first.data(), 3));
    EXPECT_EQ(Sequence(1, 3), first);
    Write(ring, Sequence(5, 4)); // crosses the end of the storage
    EXPECT_EQ(5, ring.GetCount());
    Bytes part(2);
    ASSERT_EQ(2, ring.Read(part.data(), 2));
    EXPECT_EQ(Sequence(4, 2), part);
    EXPECT_EQ(Sequence(6, 3), ReadAll(ring));
}

TEST(GCircularBuffer, ReadOfNothingOrLessCopiesNothing) {
    GCircularBuffer ring(5);
    Write(ring, Sequence(1, 3));
    Bytes target(4, 0xEE);
    EXPECT_EQ(0, ring.Read(target.data(), 0));
    EXPECT_EQ(0, ring.Read(target.data(), -1));
    EXPECT_EQ(Bytes(4, 0xEE), target);
    EXPECT_EQ(3, ring.GetCount());
    EXPECT_EQ(3, ring.Read(target.data(), 100));
}

TEST(GCircularBuffer, OddWritesChangeNothing) {
    GCircularBuffer ring(5);
    Write(ring, Sequence(1, 2));
    const uint8_t byte = 9;
    EXPECT_TRUE(ring.Write(&byte, 0));
    EXPECT_TRUE(ring.Write(&byte, -3));
    EXPECT_FALSE(ring.Write(nullptr, 4));
    EXPECT_EQ(Sequence(1, 2), ReadAll(ring));
}

TEST(GCircularBuffer, PeekShowsAFixedWindowAfterTheSkippedBytes) {
    GCircularBuffer ring(100);
    Write(ring, Sequence(0, 90));
    ASSERT_EQ(80, ring.Read(Bytes(80).data(), 80));
    Write(ring, Sequence(90, 30)); // storage 101: unread 80..119 wraps after 100
    ASSERT_EQ(40, ring.GetCount());

    EXPECT_EQ(Sequence(80, 26), Peek(ring, 0));
    EXPECT_EQ(Sequence(110, 10), Peek(ring, 30));
    EXPECT_EQ(Sequence(119, 1), Peek(ring, 39));
    EXPECT_TRUE(Peek(ring, 40).empty());
    EXPECT_TRUE(Peek(ring, 1000).empty());
    EXPECT_TRUE(Peek(ring, -1).empty());
    EXPECT_EQ(40, ring.GetCount());
    EXPECT_EQ(Sequence(80, 40), ReadAll(ring));
}

TEST(GCircularBuffer, PeekAcrossTheEndOfTheStorage) {
    GCircularBuffer ring(30);
    Write(ring, Sequence(0, 25));
    ASSERT_EQ(20, ring.Read(Bytes(20).data(), 20));
    Write(ring, Sequence(25, 20)); // storage 31: unread 20..44 wraps
    EXPECT_EQ(Sequence(20, 25), Peek(ring, 0));
    EXPECT_EQ(Sequence(30, 15), Peek(ring, 10));
}

TEST(GCircularBuffer, ClearEmptiesAndTheRingWorksOnFromTheStart) {
    GCircularBuffer ring(5);
    Write(ring, Sequence(1, 4));
    ASSERT_EQ(2, ring.Read(Bytes(2).data(), 2));
    EXPECT_TRUE(ring.Clear());
    EXPECT_EQ(0, ring.GetCount());
    EXPECT_TRUE(Peek(ring, 0).empty());
    Write(ring, Sequence(20, 5));
    EXPECT_EQ(Sequence(20, 5), ReadAll(ring));
}

TEST(GCircularBuffer, StorageSizeConstructionHoldsOneByteLess) {
    GCircularBuffer ring(GCircularBuffer::StorageSize{256});
    EXPECT_EQ(255, ring.GetCapacity());
    Bytes many(300);
    for (size_t i = 0; i < many.size(); ++i)
        many[i] = static_cast<uint8_t>(i % 251);
    Write(ring, many);
    EXPECT_EQ(Bytes(many.end() - 255, many.end()), ReadAll(ring));

    GCircularBuffer none(GCircularBuffer::StorageSize{0});
    EXPECT_EQ(0, none.GetCapacity());
    Write(none, Sequence(1, 3));
    EXPECT_EQ(0, none.GetCount());
}

// Random operations against a plain model of the same ring.
TEST(GCircularBuffer, BehavesLikeABoundedQueueThatDropsItsOldest) {
    const int32_t capacity = 37;
    GCircularBuffer ring(capacity);
    std::deque<uint8_t> model;
    std::mt19937 random(12345);
    uint8_t next = 0;
    for (int step = 0; step < 5000; ++step) {
        const unsigned action = random() % 10;
        if (action < 5) {
            Bytes bytes(random() % 50);
            for (auto &b : bytes)
                b = next++;
            Write(ring, bytes);
            model.insert(model.end(), bytes.begin(), bytes.end());
            while (model.size() > static_cast<size_t>(capacity))
                model.pop_front();
        } else if (action < 8) {
            const int32_t asked = static_cast<int32_t>(random() % 45);
            Bytes got(static_cast<size_t>(asked) + 1);
            got.resize(static_cast<size_t>(ring.Read(got.data(), asked)));
            const size_t expected = std::min(static_cast<size_t>(asked), model.size());
            ASSERT_EQ(Bytes(model.begin(), model.begin() + expected), got) << "step " << step;
            model.erase(model.begin(), model.begin() + expected);
        } else if (action < 9) {
            const int32_t skip = static_cast<int32_t>(random() % 40);
            const size_t from = std::min(static_cast<size_t>(skip), model.size());
            const size_t count = std::min<size_t>(model.size() - from, GCircularBuffer::kPeekWindow);
            ASSERT_EQ(Bytes(model.begin() + from, model.begin() + from + count), Peek(ring, skip)) << "step " << step;
        } else if (random() % 8 == 0) {
            ASSERT_TRUE(ring.Clear());
            model.clear();
        }
        ASSERT_EQ(static_cast<int32_t>(model.size()), ring.GetCount()) << "step " << step;
    }
}

// Writes that wrap, fill and overflow by any amount (several times the
// storage too), with and without the lock, against the same model, on rings
// down to one that holds nothing.
TEST(GCircularBuffer, WrappingAndOverflowingWritesKeepTheNewestInOrder) {
    PriorityMutex *lock = CreatePriorityMutex(L"", kPriorityLevelTimeCritical);
    ASSERT_NE(nullptr, lock->mutex);
    std::mt19937 random(99);
    for (const int32_t capacity : {0, 1, 2, 7, 64}) {
        GCircularBuffer ring(capacity);
        ring.SetLock(lock);
        std::deque<uint8_t> model;
        uint8_t next = 0;
        for (int step = 0; step < 3000; ++step) {
            Bytes bytes(random() % (3 * capacity + 4));
            for (auto &b : bytes)
                b = next++;
            if (step % 2 == 0) {
                Write(ring, bytes);
            } else {
                PriorityLock owner(lock);
                ASSERT_TRUE(ring.WriteHeld(bytes.data(), static_cast<int32_t>(bytes.size())));
            }
            model.insert(model.end(), bytes.begin(), bytes.end());
            while (model.size() > static_cast<size_t>(capacity))
                model.pop_front();
            const size_t taken = std::min<size_t>(random() % (capacity + 2), model.size());
            Bytes got(taken);
            ASSERT_EQ(static_cast<int32_t>(taken), ring.Read(got.data(), static_cast<int32_t>(taken)));
            ASSERT_EQ(Bytes(model.begin(), model.begin() + static_cast<std::ptrdiff_t>(taken)), got)
                << "capacity " << capacity << ", step " << step;
            model.erase(model.begin(), model.begin() + static_cast<std::ptrdiff_t>(taken));
            ASSERT_EQ(Bytes(model.begin(), model.begin() + std::min<std::ptrdiff_t>(model.size(), 26)), Peek(ring, 0));
        }
    }
    EXPECT_FALSE(Platform::ReleaseMutex(lock->mutex)); // every lock was matched
    DestroyPriorityMutex(lock);
}

TEST(GCircularBuffer, LockedRingReentersItsOwnersLockAndRestoresThePriority) {
    PriorityLevelRestorer restore;
    PriorityMutex *lock = CreatePriorityMutex(L"", kPriorityLevelTimeCritical);
    ASSERT_NE(nullptr, lock->mutex);
    GCircularBuffer ring(5);
    ring.SetLock(lock);
    ASSERT_TRUE(SetCurrentPriorityLevel(kPriorityLevelNormal));

    Write(ring, Sequence(1, 3));
    EXPECT_EQ(kPriorityLevelNormal, GetCurrentPriorityLevel());
    {
        PriorityLock owner(lock);
        ASSERT_TRUE(owner.Locked());
        EXPECT_EQ(3, ring.GetCount());
        EXPECT_EQ(Sequence(1, 3), ReadAll(ring));
        EXPECT_EQ(kPriorityLevelTimeCritical, GetCurrentPriorityLevel());
    }
    EXPECT_EQ(kPriorityLevelNormal, GetCurrentPriorityLevel());
    EXPECT_FALSE(Platform::ReleaseMutex(lock->mutex)); // every lock was matched
    DestroyPriorityMutex(lock);
}

// Slow: each refused operation waits out the full lock time-out.
TEST(RingConcurrency, LockHeldElsewhereRefusesOperationsAndChangesNothing) {
    PriorityMutex *lock = CreatePriorityMutex(L"", kPriorityLevelTimeCritical);
    ASSERT_NE(nullptr, lock->mutex);
    GCircularBuffer ring(10);
    ring.SetLock(lock);
    Write(ring, Sequence(1, 4));
    {
        PriorityLevel saved = 0;
        HoldingThread holder([&] { return LockWithCeiling(lock, &saved); }, [&] { UnlockWithCeiling(lock, saved); });
        ASSERT_TRUE(holder.Taken());
        EXPECT_EQ(0, ring.GetCount());
        const Bytes more = Sequence(50, 3);
        EXPECT_FALSE(ring.Write(more.data(), 3));
        Bytes target(4);
        EXPECT_EQ(0, ring.Read(target.data(), 4));
    }
    EXPECT_EQ(Sequence(1, 4), ReadAll(ring));
    DestroyPriorityMutex(lock);
}

// One producer writes a counting sequence into two rings that share one lock;
// it never overfills them, so the consumer must see every byte in order.
TEST(RingConcurrency, ProducerAndConsumerSharingOneLockKeepEveryByteInOrder) {
    PriorityMutex *lock = CreatePriorityMutex(L"", kPriorityLevelTimeCritical);
    ASSERT_NE(nullptr, lock->mutex);
    GCircularBuffer rings[2] = {GCircularBuffer(97), GCircularBuffer(GCircularBuffer::StorageSize{64})};
    for (auto &ring : rings)
        ring.SetLock(lock);
    const int total = 10000;

    std::thread producer([&] {
        std::mt19937 random(7);
        int written[2] = {0, 0};
        while (written[0] < total || written[1] < total) {
            const int which = static_cast<int>(random() % 2);
            GCircularBuffer &ring = rings[which];
            const int chunk = std::min<int>(1 + static_cast<int>(random() % 40), total - written[which]);
            if (chunk <= 0 || ring.GetCount() + chunk > ring.GetCapacity()) {
                std::this_thread::yield();
                continue;
            }
            Bytes bytes(static_cast<size_t>(chunk));
            for (auto &b : bytes)
                b = static_cast<uint8_t>(written[which]++ * (which + 1));
            ASSERT_TRUE(ring.Write(bytes.data(), chunk));
        }
    });

    int received[2] = {0, 0};
    bool inOrder = true;
    Bytes buffer(50);
    while ((received[0] < total || received[1] < total) && inOrder) {
        bool gotAny = false;
        for (int which = 0; which < 2; ++which) {
            const int32_t n = rings[which].Read(buffer.data(), 50);
            for (int32_t i = 0; i < n; ++i)
                inOrder = inOrder && buffer[i] == static_cast<uint8_t>(received[which]++ * (which + 1));
            gotAny = gotAny || n > 0;
        }
        if (!gotAny)
            std::this_thread::yield();
    }
    producer.join();
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(total, received[0]);
    EXPECT_EQ(total, received[1]);
    DestroyPriorityMutex(lock);
}

// A consumer holding the owner's lock sees a stable ring between two calls,
// while a producer keeps overflowing it.
TEST(RingConcurrency, CountThenReadUnderTheOwnersLockAgree) {
    PriorityMutex *lock = CreatePriorityMutex(L"", kPriorityLevelTimeCritical);
    ASSERT_NE(nullptr, lock->mutex);
    GCircularBuffer ring(64);
    ring.SetLock(lock);
    std::atomic<bool> done{false};
    std::thread producer([&] {
        const Bytes chunk = Sequence(0, 13);
        while (!done)
            ring.Write(chunk.data(), 13);
    });

    Bytes buffer(100);
    int disagreements = 0;
    for (int round = 0; round < 500; ++round) {
        PriorityLock owner(lock);
        ASSERT_TRUE(owner.Locked());
        const int32_t count = ring.GetCount();
        EXPECT_LE(count, 64);
        if (ring.Read(buffer.data(), 100) != count)
            ++disagreements;
    }
    done = true;
    producer.join();
    EXPECT_EQ(0, disagreements);
    DestroyPriorityMutex(lock);
}

} // namespace
