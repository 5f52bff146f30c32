// Tasks on a pool of three task threads: scheduling, re-runs, parking, deletion, locking.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "OS.h"
#include "OSAtomic.h"
#include "Task.h"
#include "support/TaskProbe.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kThreads = 3;

class TaskEnvironment : public testing::Environment {
public:
    void SetUp() override { TaskThreadPool::AddThreads(kThreads); }
    void TearDown() override { TaskThreadPool::RemoveThreads(); }
};
const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new TaskEnvironment);

TaskThread* ThreadAt(uint32_t index) {
    return TaskThreadPool::sTaskThreadArray[index];
}

// Declared first: the round-robin order is observable only for the process's first signals.
TEST(TaskScheduling, FirstIdleTasksGoRoundRobinFromIndexOne) {
    std::vector<std::unique_ptr<TaskProbe>> tasks;
    for (int i = 0; i < 3; ++i) {
        tasks.push_back(std::make_unique<TaskProbe>());
        tasks.back()->Signal(0x1);
        ASSERT_TRUE(WaitUntil([&] { return tasks.back()->fRuns.load() == 1; }));
    }
    EXPECT_EQ(tasks[0]->fLastThread.load(), ThreadAt(1));
    EXPECT_EQ(tasks[1]->fLastThread.load(), ThreadAt(2));
    EXPECT_EQ(tasks[2]->fLastThread.load(), ThreadAt(0));
}

TEST(TaskNames, PrefixTruncationAndValidity) {
    TaskProbe task;
    EXPECT_STREQ(task.GetTaskName(), "live_unknown");
    EXPECT_TRUE(task.Valid());
    task.SetTaskName(nullptr);
    EXPECT_STREQ(task.GetTaskName(), "live_unknown");
    const std::string sixty(60, 'n');
    task.SetTaskName(sixty.c_str());
    EXPECT_EQ(std::string(task.GetTaskName()), "live_" + sixty.substr(0, 42));

    // An overwritten name makes the task invalid, and signals then change nothing.
    char* name = const_cast<char*>(task.GetTaskName());
    name[2] = 'X';
    EXPECT_FALSE(task.Valid());
    task.Signal(0x4);
    EXPECT_EQ(task.GetEvents(), 0u);
    task.SetTaskName("again");
    EXPECT_TRUE(task.Valid());
}

TEST(TaskScheduling, SignalsBeforeTheRunAreCoalescedIntoOneRun) {
    std::atomic<bool> release{false};
    TaskProbe blocker([&](TaskProbe&) {
        while (!release)
            std::this_thread::sleep_for(1ms);
        return int64_t(0);
    });
    blocker.PinTo(ThreadAt(0));
    blocker.Signal(0x1);
    ASSERT_TRUE(WaitUntil([&] { return blocker.fLastThread.load() != nullptr; }));

    TaskProbe task([](TaskProbe& self) {
        // A second TakeEvents in the same run finds nothing.
        EXPECT_EQ(self.TakeEvents(), 0u);
        return int64_t(0);
    });
    task.PinTo(ThreadAt(0));
    const uint32_t counter = AtomicRead(&TaskThreadPool::sRoundRobinCounter);
    task.Signal(0x1);
    task.Signal(0x10);
    EXPECT_EQ(AtomicRead(&TaskThreadPool::sRoundRobinCounter), counter);
    release = true;
    ASSERT_TRUE(WaitUntil([&] { return task.fRuns.load() == 1; }));
    EXPECT_EQ(task.fEventsSeen.load(), 0x11u);
    EXPECT_EQ(task.fLastThread.load(), ThreadAt(0));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(task.fRuns.load(), 1);
    EXPECT_EQ(task.GetEvents(), 0u);  // idle again
}

TEST(TaskScheduling, SignalDuringTheRunRerunsOnTheSameThread) {
    TaskProbe task([](TaskProbe& self) {
        if (self.fRuns.load() == 0) self.Signal(0x8);  // after its TakeEvents
        return int64_t(0);
    });
    task.Signal(0x1);
    ASSERT_TRUE(WaitUntil([&] { return task.fRuns.load() == 2; }));
    EXPECT_EQ(task.fEventsSeen.load(), 0x9u);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(task.fRuns.load(), 2);
}

TEST(TaskScheduling, ParkedTaskRunsAtItsTimeWithTimerAndSignalledBits) {
    std::atomic<int64_t> firstRun{0}, secondRun{0};
    TaskProbe task([&](TaskProbe& self) -> int64_t {
        if (self.fRuns.load() == 0) {
            firstRun = OS::Milliseconds();
            return 500;
        }
        secondRun = OS::Milliseconds();
        return 0;
    });
    task.Signal(0x1);
    ASSERT_TRUE(WaitUntil([&] { return task.fRuns.load() == 1; }));
    OSThread* parkedOn = task.fLastThread.load();
    std::this_thread::sleep_for(100ms);
    task.fEventsSeen = 0;
    task.Signal(0x40);  // recorded, but the task stays parked
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(task.fRuns.load(), 1);
    ASSERT_TRUE(WaitUntil([&] { return task.fRuns.load() == 2; }));
    EXPECT_GE(secondRun - firstRun, 490);
    EXPECT_LT(secondRun - firstRun, 3000);
    EXPECT_EQ(task.fEventsSeen.load(), Task::kTimerEvent | 0x40u);
    EXPECT_EQ(task.fLastThread.load(), parkedOn);
}

TEST(TaskScheduling, DueTimerComesBeforeTheRunQueue) {
    std::vector<int> order;
    std::mutex orderMutex;
    auto record = [&](int id) {
        std::lock_guard<std::mutex> lock(orderMutex);
        order.push_back(id);
    };
    std::atomic<bool> release{false};
    TaskProbe timed([&](TaskProbe& self) -> int64_t {
        if (self.fRuns.load() == 0) return 20;
        record(1);
        return 0;
    });
    timed.PinTo(ThreadAt(2));
    timed.Signal(0x1);
    ASSERT_TRUE(WaitUntil([&] { return timed.fRuns.load() == 1; }));
    TaskProbe blocker([&](TaskProbe&) {
        while (!release)
            std::this_thread::sleep_for(1ms);
        return int64_t(0);
    });
    blocker.PinTo(ThreadAt(2));
    blocker.Signal(0x1);
    TaskProbe queued([&](TaskProbe&) {
        record(2);
        return int64_t(0);
    });
    queued.PinTo(ThreadAt(2));
    std::this_thread::sleep_for(5ms);
    queued.Signal(0x1);  // queued before the timer is due, behind the blocker
    std::this_thread::sleep_for(60ms);
    release = true;
    ASSERT_TRUE(WaitUntil([&] { return queued.fRuns.load() == 1 && timed.fRuns.load() == 2; }));
    ASSERT_EQ(order.size(), 2u);
    EXPECT_EQ(order[0], 1);
}

TEST(TaskScheduling, NegativeResultDeletesTheTaskAfterMarkingIt) {
    struct Finishing : TaskProbe {
        explicit Finishing(std::atomic<char>* mark) : fMark(mark) {
            fBody = [](TaskProbe&) { return int64_t(-1); };
        }
        ~Finishing() override { *fMark = GetTaskName()[0]; }
        std::atomic<char>* fMark;
    };
    std::atomic<char> mark{'?'};
    auto* task = new Finishing(&mark);
    task->PinTo(ThreadAt(1));
    task->Signal(0x1);
    ASSERT_TRUE(WaitUntil([&] { return mark.load() != '?'; }));
    EXPECT_EQ(mark.load(), 'D');
    // The deleting thread is free again at once for the next task.
    TaskProbe next;
    next.PinTo(ThreadAt(1));
    next.Signal(0x1);
    EXPECT_TRUE(WaitUntil([&] { return next.fRuns.load() == 1; }, std::chrono::seconds(5)));
}

TEST(TaskScheduling, GlobalWriteLockExcludesEveryOtherRun) {
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::unique_ptr<TaskProbe>> readers;
    for (int i = 0; i < 6; ++i) {
        readers.push_back(std::make_unique<TaskProbe>([&](TaskProbe&) -> int64_t {
            running.fetch_add(1);
            std::this_thread::sleep_for(1ms);
            running.fetch_sub(1);
            return 0;
        }));
    }
    // Readers are kept busy from outside, so shared runs keep coming on every thread. Only an
    // idle reader is signalled: one signalled during its run is re-run on its thread at once,
    // and on a loaded machine it could keep the writer queued behind it for long.
    std::jthread driver([&](std::stop_token stop) {
        while (!stop.stop_requested()) {
            for (auto& reader : readers)
                if (reader->GetEvents() == 0) reader->Signal(0x1);
            std::this_thread::sleep_for(1ms);
        }
    });
    TaskProbe writer([&](TaskProbe&) -> int64_t {
        if (running.load() != 0) overlapped = true;
        std::this_thread::sleep_for(5ms);
        if (running.load() != 0) overlapped = true;
        return 0;
    });
    for (int run = 1; run <= 10; ++run) {
        ASSERT_TRUE(WaitUntil([&] { return writer.GetEvents() == 0; }));
        writer.AskForGlobalWriteLock();  // cleared again after the run
        writer.Signal(0x1);
        ASSERT_TRUE(WaitUntil([&] { return writer.fRuns.load() == run; }));
    }
    driver.request_stop();
    driver.join();
    for (auto& reader : readers)
        EXPECT_TRUE(WaitUntil([&] { return reader->GetEvents() == 0; }));
    EXPECT_TRUE(WaitUntil([&] { return writer.GetEvents() == 0; }));
    EXPECT_FALSE(overlapped);
    EXPECT_GT(readers[0]->fRuns.load(), 0);
}

TEST(TaskScheduling, ReleasingTheGlobalLockInsideARunReleasesItOnce) {
    std::atomic<int> step{0};
    TaskProbe task([&](TaskProbe& self) -> int64_t {
        self.ReleaseGlobalLock();
        self.ReleaseGlobalLock();  // the second call has nothing left to release
        step = 1;
        return 0;
    });
    task.AskForGlobalWriteLock();
    task.Signal(0x1);
    ASSERT_TRUE(WaitUntil([&] { return task.fRuns.load() == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return task.GetEvents() == 0; }));
    // The lock is free and consistent: a writer and then two readers can take it.
    EXPECT_EQ(sGlobalRWMutex.TryLockWrite(), 0);
    sGlobalRWMutex.Unlock();
    EXPECT_EQ(sGlobalRWMutex.TryLockRead(), 0);
    EXPECT_EQ(sGlobalRWMutex.TryLockRead(), 0);
    EXPECT_EQ(sGlobalRWMutex.TryLockWrite(), EBUSY);
    sGlobalRWMutex.Unlock();
    sGlobalRWMutex.Unlock();
}

// An invalid task found in a run queue is dropped; the thread goes on serving its queue.
TEST(TaskScheduling, InvalidTaskInAQueueDoesNotEndItsThread) {
    std::atomic<bool> release{false};
    TaskProbe blocker([&](TaskProbe&) {
        while (!release)
            std::this_thread::sleep_for(1ms);
        return int64_t(0);
    });
    blocker.PinTo(ThreadAt(1));
    blocker.Signal(0x1);
    ASSERT_TRUE(WaitUntil([&] { return blocker.fLastThread.load() != nullptr; }));
    TaskProbe broken;
    broken.fAbandoned = true;  // dropped by its thread: it stays scheduled for good
    broken.PinTo(ThreadAt(1));
    broken.Signal(0x1);
    TaskProbe after;
    after.PinTo(ThreadAt(1));
    after.Signal(0x1);
    const_cast<char*>(broken.GetTaskName())[0] = 'x';  // overwritten while queued
    release = true;
    ASSERT_TRUE(WaitUntil([&] { return after.fRuns.load() == 1; }));
    EXPECT_EQ(broken.fRuns.load(), 0);
    EXPECT_EQ(after.fLastThread.load(), ThreadAt(1));
    // The thread still takes new work.
    TaskProbe later;
    later.PinTo(ThreadAt(1));
    later.Signal(0x1);
    EXPECT_TRUE(WaitUntil([&] { return later.fRuns.load() == 1; }));
}

TEST(TaskScheduling, WaitsAreClampedForNearAndFarTimers) {
    EXPECT_EQ(TaskThread::WaitMSecFor(0), 10);
    EXPECT_EQ(TaskThread::WaitMSecFor(5), 10);
    EXPECT_EQ(TaskThread::WaitMSecFor(250), 250);
    // Cut to 32 bits these would read as zero or negative: "no limit".
    EXPECT_EQ(TaskThread::WaitMSecFor(0x100000000LL), INT32_MAX);
    EXPECT_EQ(TaskThread::WaitMSecFor(0x80000005LL), INT32_MAX);
    EXPECT_GT(TaskThread::WaitMSecFor(INT64_MAX), 0);
}

// Many tasks signalled from many threads: no task ever runs on two threads at once, and
// the last signal every task receives is seen by a run.
TEST(TaskScheduling, StressOneRunAtATimeAndNothingLost) {
    constexpr int kTasks = 40;
    constexpr int kSignallers = 4;
    constexpr int kSignalsEach = 3000;
    constexpr uint32_t kFinalBit = 0x100;
    std::atomic<bool> overlapped{false};
    struct Counted : TaskProbe {
        std::atomic<int> fInside{0};
    };
    std::vector<std::unique_ptr<Counted>> tasks(kTasks);
    for (auto& task : tasks) {
        task = std::make_unique<Counted>();
        Counted* self = task.get();
        task->fBody = [self, &overlapped](TaskProbe& probe) -> int64_t {
            if (self->fInside.fetch_add(1) != 0) overlapped = true;
            if (probe.fRuns.load() % 7 == 0) probe.Signal(0x2);  // signal itself now and then
            self->fInside.fetch_sub(1);
            return 0;
        };
    }
    std::vector<std::thread> signallers;
    for (int s = 0; s < kSignallers; ++s) {
        signallers.emplace_back([&, s] {
            for (int i = 0; i < kSignalsEach; ++i)
                tasks[(i * 7 + s) % kTasks]->Signal(0x1);
        });
    }
    for (auto& thread : signallers)
        thread.join();
    for (auto& task : tasks)
        task->Signal(kFinalBit);
    for (auto& task : tasks) {
        EXPECT_TRUE(WaitUntil([&] { return (task->fEventsSeen.load() & kFinalBit) != 0; }));
    }
    for (auto& task : tasks)
        EXPECT_TRUE(WaitUntil([&] { return task->GetEvents() == 0; }));
    EXPECT_FALSE(overlapped);
}

}  // namespace
