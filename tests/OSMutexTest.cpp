// Recursive mutex and the read/write lock: recursion, exclusion and writer preference.

#include "OSMutex.h"
#include "support/TestSupport.h"

namespace {

// Held twice, the mutex stays held after one Unlock; another thread's Unlock is ignored.
TEST(OSMutex, StaysHeldUntilTheHoldersLastUnlock) {
    OSMutex mutex;
    const auto otherThreadGetsIn = [&] {
        bool got = false;
        BoundedThread([&] {
            mutex.Unlock();  // not the holder
            if ((got = mutex.TryLock())) mutex.Unlock();
        }).Join();
        return got;
    };
    mutex.Lock();
    EXPECT_TRUE(mutex.TryLock());  // the holder deepens at once
    EXPECT_FALSE(otherThreadGetsIn());
    mutex.Unlock();
    EXPECT_FALSE(otherThreadGetsIn());
    mutex.Unlock();
    EXPECT_TRUE(otherThreadGetsIn());
}

// Readers hold; a writer waits, and a reader arriving now waits behind it. The writer gets
// in only when the last reader leaves, and holds alone; a second writer that queues
// meanwhile goes next, and the waiting reader only after both.
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
    EXPECT_TRUE(StaysFalseFor([&] { return turn.load() != 1; }, 50ms));
    firstMayRelease = true;
    EXPECT_TRUE(WaitUntil([&] { return turn.load() == 3; }));
    EXPECT_EQ(secondWriter, 2);
    EXPECT_EQ(reader, 3);
}

}  // namespace
