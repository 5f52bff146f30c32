// Condition variables: kept signals, broadcasts, and waits late in a thread's life.

#include <cstdio>
#include <cstdlib>

#include "OSCond.h"
#include "OSMutex.h"
#include "support/TestSupport.h"

namespace {

// Two signals with no waiter keep one wake-up, a broadcast none; a timeout above 0 ends a wait.
TEST(OSCond, KeepsOneSignalForTheNextWait) {
    OSCond cond;
    OSMutex mutex;
    std::atomic<int> returned{0};
    const auto startWait = [&](int32_t timeout) {
        return std::make_unique<BoundedThread>([&, timeout] {
            OSMutexLocker locker(&mutex);
            cond.Wait(&mutex, timeout);
            returned.fetch_add(1);
        });
    };
    cond.Signal();
    cond.Signal();
    auto kept = startWait(0);
    EXPECT_TRUE(WaitUntil([&] { return returned == 1; }));
    cond.Broadcast();
    auto noLimit = startWait(0), negative = startWait(-1), timed = startWait(20);
    EXPECT_TRUE(WaitUntil([&] { return returned == 2; }));
    EXPECT_TRUE(StaysFalseFor([&] { return returned > 2; }, 100ms));
    EXPECT_TRUE(WaitUntil([&] { return cond.Broadcast(), returned == 4; }));
}

// Each round the broadcast comes as soon as every waiter is inside Wait, perhaps not yet
// blocked: none may miss it.
TEST(OSCond, BroadcastReleasesEveryWaiterEveryRound) {
    constexpr int kWaiters = 3, kRounds = 300;
    OSCond cond;
    OSMutex mutex;
    int generation = 0, entered = 0;  // guarded by mutex
    std::atomic<int> released{0}, exited{0};
    std::atomic<bool> quit{false};
    const auto waiter = [&] {
        OSMutexLocker locker(&mutex);
        for (int seen = 0; !quit; seen = generation, released.fetch_add(1)) {
            ++entered;
            while (generation == seen && !quit)
                cond.Wait(&mutex, 0);
        }
        exited.fetch_add(1);
    };
    int round = 1;
    {
        BoundedThread first(waiter), second(waiter), third(waiter);
        for (; round <= kRounds; ++round) {
            const bool allIn = WaitUntil([&] {
                OSMutexLocker locker(&mutex);
                if (entered < kWaiters) return false;
                entered = 0;  // under the hold that saw every waiter inside Wait
                ++generation;
                return true;
            });
            cond.Broadcast();
            if (!allIn || !WaitUntil([&] { return released.load() == round * kWaiters; }, 3s))
                break;
        }
        quit = true;
        WaitUntil([&] { return cond.Broadcast(), exited.load() == kWaiters; });
    }
    EXPECT_GT(round, kRounds) << "a waiter missed the broadcast of round " << round;
}

// A wait on a condition of its own: it must last its time, not fail at once.
bool WaitsItsTime() {
    OSCond cond;
    OSMutex mutex;
    OSMutexLocker locker(&mutex);
    const auto start = std::chrono::steady_clock::now();
    cond.Wait(&mutex, 30);
    return std::chrono::steady_clock::now() - start >= 20ms;
}

// Waits as it is destroyed: as a thread-local, after what the thread's first wait set up; as a
// static, after main returned, where a failure can only end the process.
struct LateWaiter : AssertLogger {
    ~LateWaiter() {
        if (fInThread) {
            EXPECT_TRUE(WaitsItsTime()) << "in a thread-local destructor";
        } else if (fAfterMain) {
            InstallAssertLogger(this);  // the suite's recorder may be gone
            if (WaitsItsTime() && fReported == 0) return;
            std::fputs("a wait made after main returned failed\n", stderr);
            std::_Exit(1);
        }
    }
    void LogAssert(const char*) override { ++fReported; }
    bool fInThread = false;
    bool fAfterMain = false;
    int fReported = 0;
};
thread_local LateWaiter tLateWaiter;
LateWaiter sLateWaiter;

TEST(OSCond, WaitsWhileThreadLocalsGoAndAfterMainReturns) {
    ReportedAsserts asserts;
    BoundedThread([&] {
        tLateWaiter.fInThread = true;
        WaitsItsTime();  // the thread's first wait
    }).Join();
    EXPECT_TRUE(WaitsItsTime());  // made before the main thread's thread-locals go
    EXPECT_TRUE(asserts.Take().empty());
    sLateWaiter.fAfterMain = true;
}

}  // namespace
