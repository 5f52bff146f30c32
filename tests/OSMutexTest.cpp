// Recursive mutex and the read/write lock with writer preference.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "OSMutex.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;

bool TryLockFromOtherThread(OSMutex& mutex) {
    bool acquired = false;
    std::thread([&] {
        acquired = mutex.TryLock();
        if (acquired) mutex.Unlock();
    }).join();
    return acquired;
}

TEST(OSMutex, RecursionHoldsUntilTheLastUnlock) {
    OSMutex mutex;
    mutex.Lock();
    mutex.Lock();
    EXPECT_TRUE(mutex.TryLock());  // the holder deepens without waiting
    mutex.Unlock();
    mutex.Unlock();
    EXPECT_FALSE(TryLockFromOtherThread(mutex));
    mutex.Unlock();
    EXPECT_TRUE(TryLockFromOtherThread(mutex));
}

TEST(OSMutex, UnlockByAnotherThreadChangesNothing) {
    OSMutex mutex;
    mutex.Lock();
    std::thread([&] { mutex.Unlock(); }).join();
    EXPECT_FALSE(TryLockFromOtherThread(mutex));
    mutex.Unlock();
    EXPECT_TRUE(TryLockFromOtherThread(mutex));
    EXPECT_EQ(AssertRecorder::Instance().Take().size(), 0u);
}

TEST(OSMutex, ExcludesOtherThreads) {
    OSMutex mutex;
    int counter = 0;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                OSMutexLocker locker(&mutex);
                OSMutexLocker again(&mutex);  // recursion inside the critical region
                if (inside.fetch_add(1) != 0) overlapped = true;
                ++counter;
                inside.fetch_sub(1);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(counter, 80000);
}

TEST(OSMutexLocker, NullMutexDoesNothing) {
    OSMutexLocker locker(nullptr);
}

// Runs `action` on a thread and reports when it has finished.
class Worker {
public:
    template <typename Action>
    explicit Worker(Action action)
        : fThread([this, action] {
              action();
              fDone = true;
          }) {}
    ~Worker() { fThread.join(); }
    bool Done() const { return fDone; }

private:
    std::atomic<bool> fDone{false};
    std::thread fThread;
};

TEST(OSReadWriteMutex, ArrivingReaderWaitsBehindAWaitingWriter) {
    OSReadWriteMutex lock;
    lock.LockRead();
    lock.LockRead();  // two readers hold together (same thread counts twice)
    std::atomic<int> order{0};
    int writerTurn = 0, readerTurn = 0;
    Worker writer([&] {
        lock.LockWrite();
        writerTurn = ++order;
        lock.Unlock();
    });
    ASSERT_TRUE(WaitUntil([&] { return lock.WaitingWriters() == 1; }));
    EXPECT_EQ(lock.TryLockRead(), EBUSY);  // a writer waits
    Worker reader([&] {
        lock.LockRead();
        readerTurn = ++order;
        lock.Unlock();
    });
    ASSERT_TRUE(WaitUntil([&] { return lock.WaitingReaders() == 1; }));
    EXPECT_FALSE(writer.Done());
    EXPECT_FALSE(reader.Done());
    lock.Unlock();
    lock.Unlock();
    ASSERT_TRUE(WaitUntil([&] { return writer.Done() && reader.Done(); }));
    EXPECT_EQ(writerTurn, 1);
    EXPECT_EQ(readerTurn, 2);
}

TEST(OSReadWriteMutex, ReleasingWriterHandsOverToTheNextWriterFirst) {
    OSReadWriteMutex lock;
    lock.LockWrite();
    std::atomic<int> order{0};
    std::atomic<int> writerTurn{0};
    std::vector<int> readerTurns(3, 0);
    Worker writer([&] {
        lock.LockWrite();
        writerTurn = ++order;
        lock.Unlock();
    });
    ASSERT_TRUE(WaitUntil([&] { return lock.WaitingWriters() == 1; }));
    std::vector<std::unique_ptr<Worker>> readers;
    for (int r = 0; r < 3; ++r) {
        readers.push_back(std::make_unique<Worker>([&, r] {
            lock.LockRead();
            readerTurns[r] = ++order;
            lock.Unlock();
        }));
    }
    ASSERT_TRUE(WaitUntil([&] { return lock.WaitingReaders() == 3; }));
    lock.Unlock();
    ASSERT_TRUE(WaitUntil([&] {
        for (auto& reader : readers)
            if (!reader->Done()) return false;
        return writer.Done();
    }));
    EXPECT_EQ(writerTurn, 1);
    for (int turn : readerTurns)
        EXPECT_GT(turn, 1);
}

TEST(OSReadWriteMutex, TryOperations) {
    OSReadWriteMutex lock;
    EXPECT_EQ(lock.TryLockWrite(), 0);
    EXPECT_EQ(lock.TryLockRead(), EBUSY);
    EXPECT_EQ(lock.TryLockWrite(), EBUSY);
    lock.Unlock();
    EXPECT_EQ(lock.TryLockRead(), 0);
    EXPECT_EQ(lock.TryLockWrite(), EBUSY);  // one reader holds
    EXPECT_EQ(lock.TryLockRead(), 0);
    lock.Unlock();
    lock.Unlock();
    EXPECT_EQ(lock.TryLockWrite(), 0);
    lock.Unlock();
    lock.Unlock();  // releasing a free lock leaves it free
    EXPECT_EQ(lock.TryLockWrite(), 0);
    lock.Unlock();
}

// Readers and writers hammer the lock; a writer never overlaps anyone, and a writer gets
// its turn while readers keep arriving.
TEST(OSReadWriteMutex, StressWritersExcludeEveryoneAndAreNotStarved) {
    OSReadWriteMutex lock;
    std::atomic<int> readers{0};
    std::atomic<int> writers{0};
    std::atomic<bool> violation{false};
    std::atomic<bool> stop{false};
    std::atomic<int> writes{0};
    std::vector<std::thread> threads;
    for (int r = 0; r < 4; ++r) {
        threads.emplace_back([&] {
            while (!stop) {
                OSMutexReadLocker locker(&lock);
                readers.fetch_add(1);
                if (writers.load() != 0) violation = true;
                std::this_thread::yield();
                readers.fetch_sub(1);
            }
        });
    }
    for (int w = 0; w < 2; ++w) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                OSMutexWriteLocker locker(&lock);
                if (writers.fetch_add(1) != 0 || readers.load() != 0) violation = true;
                writers.fetch_sub(1);
                writes.fetch_add(1);
            }
        });
    }
    // The writers finish although the readers never pause.
    const bool finished = WaitUntil([&] { return writes.load() == 400; }, 60s);
    stop = true;
    for (auto& thread : threads)
        thread.join();
    EXPECT_TRUE(finished);
    EXPECT_FALSE(violation);
}

}  // namespace
