// A task whose runs the tests can watch: it records every run and can be told what to do.
#pragma once

#include <atomic>
#include <functional>

#include "Task.h"
#include "support/TestSupport.h"

class TaskProbe : public Task {
public:
    explicit TaskProbe(std::function<int64_t(TaskProbe&)> body = nullptr)
        : fBody(std::move(body)) {}

    // A probe is destroyed only once no task thread has it: queued, running or parked.
    // Tests that strand a probe on purpose (no threads, or a probe made invalid) say so.
    // A probe that finished with a negative result is deleted by the thread that ran it,
    // still scheduled: waiting here would hold that thread up for nothing.
    ~TaskProbe() override {
        if (fAbandoned || TaskThreadPool::sNumTaskThreads.load() == 0) return;
        OSThread* const current = OSThread::GetCurrent();
        if (current != nullptr && current == fLastThread.load()) return;
        WaitUntil([this] { return (GetEvents() & kScheduledBit) == 0; });
    }

    int64_t Run() override {
        fLastThread = OSThread::GetCurrent();
        fEventsSeen.fetch_or(TakeEvents());
        const int64_t result = fBody ? fBody(*this) : 0;
        fRuns.fetch_add(1);
        return result;
    }

    void PinTo(TaskThread* thread) { fUseThisThread = thread; }
    void AskForGlobalWriteLock() { fGlobalWriteLock = 1; }

    std::function<int64_t(TaskProbe&)> fBody;
    std::atomic<int> fRuns{0};
    std::atomic<uint32_t> fEventsSeen{0};
    std::atomic<OSThread*> fLastThread{nullptr};
    bool fAbandoned = false;
};
