// Condition variables: the kept signal, wake-ups that miss no waiter, and a wait made while
// the thread's thread-local objects are being destroyed.
#include <gtest/gtest.h>

#include "OSCond.h"
#include "OSMutex.h"
#include "support/TestSupport.h"
#include "support/TestThreads.h"

namespace {

using namespace std::chrono_literals;

// Waits once on a helper thread with the mutex held once, then counts itself back.
std::unique_ptr<BoundedThread> StartWait(OSCond& cond, OSMutex& mutex, int32_t timeout,
                                         std::atomic<int>& returned) {
    return std::make_unique<BoundedThread>([&cond, &mutex, timeout, &returned] {
        OSMutexLocker locker(&mutex);
        cond.Wait(&mutex, timeout);
        returned.fetch_add(1);
    });
}

// Two signals with no waiter keep one wake-up; a broadcast with none keeps nothing. A
// timeout of 0 or less waits for the next signal, a positive one ends the wait as well.
TEST(OSCond, KeepsOneSignalForTheNextWait) {
    for (int32_t noLimit : {0, -1}) {
        OSCond cond;
        OSMutex mutex;
        std::atomic<int> returned{0};
        std::unique_ptr<BoundedThread> waiters[3];
        OnScopeExit wakeAll([&] { WaitUntil([&] { return cond.Broadcast(), returned == 3; }); });
        cond.Signal();
        cond.Signal();
        cond.Broadcast();
        waiters[0] = StartWait(cond, mutex, noLimit, returned);
        EXPECT_TRUE(WaitUntil([&] { return returned == 1; })) << noLimit;
        waiters[1] = StartWait(cond, mutex, noLimit, returned);
        waiters[2] = StartWait(cond, mutex, 20, returned);
        EXPECT_TRUE(WaitUntil([&] { return returned == 2; })) << noLimit;
        EXPECT_TRUE(StaysFalseFor([&] { return returned == 3; }, 100ms)) << noLimit;
        cond.Signal();
        EXPECT_TRUE(WaitUntil([&] { return returned == 3; })) << noLimit;
    }
}

// Each round the waiters enter Wait and the broadcaster broadcasts as soon as it can take
// the mutex, so every waiter is inside Wait, though perhaps not yet blocked. A waiter
// counted but not yet blocked must not miss the broadcast.
TEST(OSCond, BroadcastReleasesEveryWaiterEveryRound) {
    constexpr int kWaiters = 3, kRounds = 300;
    OSCond cond;
    OSMutex mutex;
    int generation = 0, entered = 0;  // guarded by mutex
    std::atomic<int> released{0}, exited{0};
    std::atomic<bool> quit{false};
    int failedRound = -1;
    {
        BoundedThreads waiters(kWaiters, [&](int) {
            OSMutexLocker locker(&mutex);
            for (int seen = 0; !quit; seen = generation, released.fetch_add(1)) {
                ++entered;
                while (generation == seen && !quit)
                    cond.Wait(&mutex, 0);
            }
            exited.fetch_add(1);
        });
        OnScopeExit wakeAll([&] {
            quit = true;
            WaitUntil([&] { return cond.Broadcast(), exited.load() == kWaiters; });
        });
        for (int round = 1; round <= kRounds && failedRound < 0; ++round) {
            ASSERT_TRUE(WaitUntil([&] {
                OSMutexLocker locker(&mutex);
                return entered == kWaiters;
            }));
            {
                OSMutexLocker locker(&mutex);
                entered = 0;
                ++generation;
            }
            cond.Broadcast();
            if (!WaitUntil([&] { return released.load() == round * kWaiters; }, 3s))
                failedRound = round;
        }
    }
    EXPECT_EQ(failedRound, -1) << "a waiter missed the broadcast of round " << failedRound;
}

// Made before the thread's first wait, so destroyed after whatever that wait set up.
struct LateWaiter {
    ~LateWaiter() {
        if (fWaited == nullptr) return;
        OSCond cond;
        OSMutex mutex;
        OSMutexLocker locker(&mutex);
        const auto start = std::chrono::steady_clock::now();
        cond.Wait(&mutex, 30);
        *fWaited = std::chrono::steady_clock::now() - start >= 20ms;  // it waited, not failed
    }
    std::atomic<bool>* fWaited = nullptr;
};
thread_local LateWaiter tLateWaiter;

TEST(OSCond, WaitInAThreadLocalDestructorAfterTheThreadsEventIsGone) {
    std::atomic<bool> waited{false};
    ReportedAsserts asserts;
    BoundedThread([&] {
        tLateWaiter.fWaited = &waited;
        OSCond cond;
        OSMutex mutex;
        OSMutexLocker locker(&mutex);
        cond.Wait(&mutex, 1);  // the thread's first wait
    }).Join();
    EXPECT_TRUE(waited);
    EXPECT_TRUE(asserts.Take().empty());
}

}  // namespace
