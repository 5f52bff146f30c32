// Condition variables: kept signals, timeouts and broadcasts that miss no waiter.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "OSCond.h"
#include "OSMutex.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Milliseconds that one Wait with the given timeout takes, the mutex held once.
int64_t TimedWait(OSCond& cond, OSMutex& mutex, int32_t timeoutMSec) {
    OSMutexLocker locker(&mutex);
    const auto start = Clock::now();
    cond.Wait(&mutex, timeoutMSec);
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(OSCond, SignalWithNoWaiterIsKeptOnce) {
    OSCond cond;
    OSMutex mutex;
    cond.Signal();
    cond.Signal();  // two signals keep one wake-up
    EXPECT_LT(TimedWait(cond, mutex, 5000), 1000);
    EXPECT_GE(TimedWait(cond, mutex, 100), 80);
}

TEST(OSCond, TimeoutReturnsWithTheMutexHeld) {
    OSCond cond;
    OSMutex mutex;
    mutex.Lock();
    const auto start = Clock::now();
    cond.Wait(&mutex, 50);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 45ms);
    EXPECT_LT(waited, 2000ms);
    bool otherGotIt = true;
    std::thread([&] {
        otherGotIt = mutex.TryLock();
        if (otherGotIt) mutex.Unlock();
    }).join();
    EXPECT_FALSE(otherGotIt);
    mutex.Unlock();
}

TEST(OSCond, ZeroOrNegativeTimeoutWaitsForTheSignal) {
    for (int32_t timeout : {0, -1}) {
        OSCond cond;
        OSMutex mutex;
        std::atomic<bool> woke{false};
        std::thread waiter([&] {
            OSMutexLocker locker(&mutex);
            cond.Wait(&mutex, timeout);
            woke = true;
        });
        std::this_thread::sleep_for(100ms);
        EXPECT_FALSE(woke);
        cond.Signal();
        EXPECT_TRUE(WaitUntil([&] { return woke.load(); }));
        waiter.join();
    }
}

TEST(OSCond, BroadcastWithNoWaiterSetsNothing) {
    OSCond cond;
    OSMutex mutex;
    cond.Broadcast();
    EXPECT_GE(TimedWait(cond, mutex, 100), 80);
}

// K waiters enter Wait; as soon as the broadcaster can take the mutex (so every waiter is
// inside Wait, though perhaps not yet blocked) it broadcasts. Every waiter must wake, in
// every round: a waiter that is counted but not yet blocked must not be missed.
TEST(OSCond, BroadcastReleasesEveryWaiterEveryRound) {
    constexpr int kWaiters = 3;
    constexpr int kRounds = 1500;
    OSCond cond;
    OSMutex mutex;
    int generation = 0;  // guarded by mutex
    int entered = 0;     // waiters inside Wait this round, guarded by mutex
    std::atomic<int> released{0};
    std::atomic<bool> quit{false};
    std::atomic<int> exited{0};

    std::vector<std::thread> waiters;
    for (int w = 0; w < kWaiters; ++w) {
        waiters.emplace_back([&] {
            OSMutexLocker locker(&mutex);
            int seen = 0;
            while (!quit) {
                ++entered;
                while (generation == seen && !quit)
                    cond.Wait(&mutex, 0);
                seen = generation;
                released.fetch_add(1);
            }
            exited.fetch_add(1);
        });
    }

    int failedRound = -1;
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
    {
        OSMutexLocker locker(&mutex);
        quit = true;
    }
    // Keep waking until every waiter has left, so the test ends even after a lost wake-up.
    WaitUntil([&] {
        cond.Broadcast();
        cond.Signal();
        return exited.load() == kWaiters;
    });
    for (auto& waiter : waiters)
        waiter.join();
    EXPECT_EQ(failedRound, -1) << "a waiter missed the broadcast of round " << failedRound;
}

TEST(OSCond, SignalWakesOneOfSeveralWaiters) {
    OSCond cond;
    OSMutex mutex;
    std::atomic<int> woke{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            OSMutexLocker locker(&mutex);
            cond.Wait(&mutex, 1500);
            woke.fetch_add(1);
        });
    }
    std::this_thread::sleep_for(100ms);
    cond.Signal();
    EXPECT_TRUE(WaitUntil([&] { return woke.load() >= 1; }, 1000ms));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(woke.load(), 1);
    for (auto& waiter : waiters)
        waiter.join();  // the others time out
    EXPECT_EQ(woke.load(), 3);
}

TEST(OSCond, BroadcastReleasesThreeBlockedWaiters) {
    OSCond cond;
    OSMutex mutex;
    std::atomic<int> woke{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            OSMutexLocker locker(&mutex);
            cond.Wait(&mutex, 0);
            woke.fetch_add(1);
        });
    }
    std::this_thread::sleep_for(100ms);
    cond.Broadcast();
    const bool all = WaitUntil([&] { return woke.load() == 3; }, 3s);
    while (woke.load() < 3)
        cond.Signal();
    for (auto& waiter : waiters)
        waiter.join();
    EXPECT_TRUE(all);
}

}  // namespace
