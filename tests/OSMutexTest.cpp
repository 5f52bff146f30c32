// Recursive mutex and the read/write lock: exclusion, recursion and writer preference.
#include <gtest/gtest.h>

#include "OSMutex.h"
#include "support/TestSupport.h"
#include "support/TestThreads.h"

namespace {

using namespace std::chrono_literals;

// Holders lock twice and release the inner hold inside their critical stretch; another
// thread keeps unlocking without holding and trying to lock. None may get in while a
// holder is inside.
TEST(OSMutex, ExcludesOtherThreadsUntilTheHoldersLastUnlock) {
    OSMutex mutex;
    int counter = 0;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false}, done{false};
    ReportedAsserts asserts;
    {
        BoundedThread intruder([&] {
            while (!done) {
                mutex.Unlock();  // not the holder: ignored
                if (!mutex.TryLock()) continue;
                if (inside.load() != 0) overlapped = true;
                mutex.Unlock();
            }
        });
        BoundedThreads(3, [&](int) {
            for (int i = 0; i < 20000; ++i) {
                OSMutexLocker locker(&mutex);
                if (!mutex.TryLock()) overlapped = true;  // the holder deepens at once
                inside.fetch_add(1);
                mutex.Unlock();
                if (inside.load() != 1) overlapped = true;
                ++counter;
                inside.fetch_sub(1);
            }
        });
        done = true;
    }
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(counter, 60000);
    EXPECT_TRUE(asserts.Take().empty());
}

// Readers hold; a writer waits, and a reader arriving now waits behind it. The writer gets
// in only when the last reader leaves; a second writer that queues meanwhile goes next,
// and the waiting reader only after both.
TEST(OSReadWriteMutex, WaitingWritersGoBeforeReaders) {
    OSReadWriteMutex lock;
    std::atomic<int> turn{0}, secondWriter{0}, reader{0};
    std::atomic<bool> firstMayRelease{false};
    lock.LockRead();
    lock.LockRead();  // one thread's two holds count as two readers
    BoundedThread first([&] {
        OSMutexWriteLocker locker(&lock);
        ++turn;
        WaitUntil([&] { return firstMayRelease.load(); });
    });
    EXPECT_TRUE(WaitUntil([&] { return lock.WaitingWriters() == 1; }));
    EXPECT_EQ(lock.TryLockRead(), EBUSY);
    EXPECT_EQ(lock.TryLockWrite(), EBUSY);
    BoundedThread waitingReader([&] {
        OSMutexReadLocker locker(&lock);
        reader = ++turn;
    });
    EXPECT_TRUE(WaitUntil([&] { return lock.WaitingReaders() == 1; }));
    lock.Unlock();
    EXPECT_TRUE(StaysFalseFor([&] { return turn.load() != 0; }, 50ms));  // one still reads
    lock.Unlock();
    EXPECT_TRUE(WaitUntil([&] { return turn.load() == 1; }));
    BoundedThread second([&] {
        OSMutexWriteLocker locker(&lock);
        secondWriter = ++turn;
    });
    EXPECT_TRUE(WaitUntil([&] { return lock.WaitingWriters() == 1; }));
    firstMayRelease = true;
    EXPECT_TRUE(WaitUntil([&] { return turn.load() == 3; }));
    EXPECT_EQ(secondWriter, 2);
    EXPECT_EQ(reader, 3);
}

}  // namespace
