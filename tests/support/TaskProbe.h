// Tasks whose runs the tests can watch and steer.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "OS.h"
#include "Task.h"
#include "support/TestSupport.h"

// Records every run and does what its body says.
class TaskProbe : public Task {
public:
    explicit TaskProbe(std::function<int64_t(TaskProbe&)> body = nullptr)
        : fBody(std::move(body)) {}

    // Destroyed only once no thread has it (queued, running or parked), or the process
    // ends: a thread would be left with freed memory. fAbandoned marks a probe stranded on
    // purpose; one deleted by its own thread (a negative result) has nothing to wait for.
    ~TaskProbe() override {
        if (fAbandoned || TaskThreadPool::sNumTaskThreads.load() == 0) return;
        OSThread* const current = OSThread::GetCurrent();
        if (current != nullptr && current == fLastThread.load()) return;
        if (WaitUntil([this] { return (GetEvents() & kScheduledBit) == 0; })) return;
        std::fprintf(stderr, "a task probe is still scheduled at its end: giving up\n");
        std::_Exit(1);
    }

    int64_t Run() override {
        fLastThread = OSThread::GetCurrent();
        fLastRunAt = OS::Milliseconds();
        fLastRunOrder = sRunsSoFar.fetch_add(1) + 1;  // across all probes
        fLastEvents = TakeEvents();
        fEventsSeen.fetch_or(fLastEvents.load());
        const int64_t result = fBody ? fBody(*this) : 0;
        fRuns.fetch_add(1);
        return result;
    }

    void PinTo(TaskThread* thread) { fUseThisThread = thread; }
    void AskForGlobalWriteLock() { fGlobalWriteLock = 1; }
    bool RanOnce() {
        return WaitUntil([this] { return fRuns.load() >= 1; });
    }
    // No run for the whole window, waiting up to the limit for one: it has settled.
    bool Settles(std::chrono::milliseconds window = 200ms, std::chrono::milliseconds limit = 5s) {
        return WaitUntil(
            [&] {
                const int runs = fRuns.load();
                return StaysFalseFor([&] { return fRuns.load() != runs; }, window);
            },
            limit);
    }

    std::function<int64_t(TaskProbe&)> fBody;
    std::atomic<int> fRuns{0};
    std::atomic<uint32_t> fEventsSeen{0};
    std::atomic<uint32_t> fLastEvents{0};  // this run's, for the body
    std::atomic<OSThread*> fLastThread{nullptr};
    std::atomic<int64_t> fLastRunAt{0};
    std::atomic<int> fLastRunOrder{0};
    bool fAbandoned = false;

private:
    static inline std::atomic<int> sRunsSoFar{0};
};

// Holds one task thread in its run until released (at the latest when destroyed, or after
// the wait bound), so that work can queue up behind it.
class BlockerTask : public TaskProbe {
public:
    explicit BlockerTask(TaskThread* thread) {
        fBody = [this](TaskProbe&) {
            WaitUntil([this] { return fReleased.load(); });
            return int64_t(0);
        };
        PinTo(thread);
        Signal(0x1);
        EXPECT_TRUE(WaitUntil([this] { return fLastThread.load() != nullptr; }));
    }
    ~BlockerTask() override {
        Release();
        WaitUntil([this] { return (GetEvents() & kScheduledBit) == 0; });
    }
    void Release() { fReleased = true; }

private:
    std::atomic<bool> fReleased{false};
};

// The first two task threads held, so that work queues up behind them all at once.
struct TwoThreadsHeld {
    BlockerTask fFirst{TaskThreadPool::sTaskThreadArray[0]};
    BlockerTask fSecond{TaskThreadPool::sTaskThreadArray[1]};
    // What the action returns, done while both are held.
    template <class Action>
    static auto During(Action action) {
        const TwoThreadsHeld held;
        return action();
    }
};
