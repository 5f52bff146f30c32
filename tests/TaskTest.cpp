// Tasks on a pool of three task threads: scheduling, re-runs, parking, deletion, locking.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "OS.h"
#include "OSAtomic.h"
#include "Task.h"
#include "support/TaskProbe.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;

class TaskEnvironment : public testing::Environment {
public:
    void SetUp() override { TaskThreadPool::AddThreads(3); }
    void TearDown() override { TaskThreadPool::RemoveThreads(); }
};
const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new TaskEnvironment);

TaskThread* ThreadAt(uint32_t index) {
    return TaskThreadPool::sTaskThreadArray[index];
}

// The process's first idle task goes to the thread at index 1, and each after it to the
// next in turn.
TEST(TaskScheduling, IdleTasksGoRoundRobinFromIndexOne) {
    const uint32_t counter = AtomicRead(&TaskThreadPool::sRoundRobinCounter);
    TaskProbe tasks[3];
    for (uint32_t i = 0; i < 3; ++i) {
        tasks[i].Signal(0x1);
        ASSERT_TRUE(tasks[i].RanOnce());
        EXPECT_EQ(tasks[i].fLastThread.load(), ThreadAt((counter + 1 + i) % 3)) << i;
    }
}

TEST(TaskNames, PrefixCutAndValidityThroughRenames) {
    TaskProbe task;
    EXPECT_STREQ(task.GetTaskName(), "live_unknown");
    task.SetTaskName(nullptr);
    EXPECT_STREQ(task.GetTaskName(), "live_unknown");
    const std::string sixty(60, 'n');
    task.SetTaskName(sixty.c_str());
    EXPECT_EQ(std::string(task.GetTaskName()), "live_" + sixty.substr(0, 42));

    // A live task reads as valid all through a rename made on another thread.
    std::atomic<bool> stop{false};
    BoundedThread renamer([&] {
        for (int i = 0; !stop.load(std::memory_order_relaxed); ++i)
            task.SetTaskName(i % 2 ? "a" : "a much longer name");
    });
    int invalid = 0;
    const int64_t until = OS::Milliseconds() + 100;
    for (int i = 1; i % 4096 != 0 || OS::Milliseconds() < until; ++i)
        invalid += task.Valid() ? 0 : 1;
    stop = true;
    renamer.Join();
    EXPECT_EQ(invalid, 0);

    // An overwritten prefix makes the task invalid: signals change nothing, and a rename
    // makes it valid again.
    const_cast<char*>(task.GetTaskName())[2] = 'X';
    EXPECT_FALSE(task.Valid());
    task.Signal(0x4);
    EXPECT_EQ(task.GetEvents(), 0u);
    task.SetTaskName("again");
    EXPECT_STREQ(task.GetTaskName(), "live_again");
}

TEST(TaskScheduling, SignalsCoalesceIntoOneRunAndASignalDuringItRerunsOnTheSameThread) {
    TaskProbe task([](TaskProbe& self) {
        EXPECT_EQ(self.TakeEvents(), 0u);  // the thread took them for the probe
        if (self.fRuns.load() == 0) self.Signal(0x8);
        return int64_t(0);
    });
    task.PinTo(ThreadAt(0));
    {
        BlockerTask blocker(ThreadAt(0));
        const uint32_t counter = AtomicRead(&TaskThreadPool::sRoundRobinCounter);
        task.Signal(0x1);
        task.Signal(0x10);
        EXPECT_EQ(AtomicRead(&TaskThreadPool::sRoundRobinCounter), counter);  // pinned
    }
    ASSERT_TRUE(WaitUntil([&] { return task.fRuns.load() == 2; }));
    EXPECT_EQ(task.fEventsSeen.load(), 0x19u);
    EXPECT_EQ(task.fLastThread.load(), ThreadAt(0));
    EXPECT_TRUE(StaysFalseFor([&] { return task.fRuns.load() > 2; }, 50ms));
    EXPECT_EQ(task.GetEvents(), 0u);  // idle again
}

TEST(TaskScheduling, ParkedTaskRunsAtItsTimeOnItsThreadBeforeQueuedWork) {
    std::vector<int> order;
    std::mutex orderMutex;
    int64_t firstRun = 0, secondRun = 0;
    TaskProbe parked([&](TaskProbe& self) -> int64_t {
        if (self.fRuns.load() == 0) {
            firstRun = OS::Milliseconds();
            return 300;
        }
        secondRun = OS::Milliseconds();
        std::lock_guard<std::mutex> lock(orderMutex);
        order.push_back(1);
        return 0;
    });
    TaskProbe queued([&](TaskProbe&) {
        std::lock_guard<std::mutex> lock(orderMutex);
        order.push_back(2);
        return int64_t(0);
    });
    parked.PinTo(ThreadAt(2));
    queued.PinTo(ThreadAt(2));
    parked.Signal(0x1);
    ASSERT_TRUE(parked.RanOnce());
    parked.fEventsSeen = 0;
    parked.Signal(0x40);  // recorded; the task stays parked
    {
        // Held past the timer's time, with work queued earlier than the timer is due.
        BlockerTask blocker(ThreadAt(2));
        queued.Signal(0x1);
        EXPECT_TRUE(StaysFalseFor([&] { return parked.fRuns.load() > 1; }, 400ms));
    }
    ASSERT_TRUE(WaitUntil([&] { return parked.fRuns.load() == 2 && queued.fRuns.load() == 1; }));
    EXPECT_GE(secondRun - firstRun, 290);
    EXPECT_EQ(parked.fEventsSeen.load(), Task::kTimerEvent | 0x40u);
    EXPECT_EQ(parked.fLastThread.load(), ThreadAt(2));
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(TaskScheduling, NegativeResultMarksAndDeletesTheTaskAndItsThreadGoesOn) {
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
    TaskProbe next;
    next.PinTo(ThreadAt(1));
    next.Signal(0x1);
    EXPECT_TRUE(next.RanOnce());
}

// An invalid task found in a run queue is dropped; the thread goes on serving its queue.
TEST(TaskScheduling, InvalidTaskInAQueueIsDroppedAndItsThreadGoesOn) {
    TaskProbe broken, after;
    broken.fAbandoned = true;  // dropped by its thread: it stays scheduled for good
    broken.PinTo(ThreadAt(1));
    after.PinTo(ThreadAt(1));
    {
        BlockerTask blocker(ThreadAt(1));
        broken.Signal(0x1);
        after.Signal(0x1);
        const_cast<char*>(broken.GetTaskName())[0] = 'x';  // overwritten while queued
    }
    ASSERT_TRUE(after.RanOnce());
    EXPECT_EQ(broken.fRuns.load(), 0);
    EXPECT_EQ(after.fLastThread.load(), ThreadAt(1));
}

TEST(TaskScheduling, GlobalWriteLockExcludesEveryOtherRunAndIsReleasedOnce) {
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::unique_ptr<TaskProbe>> readers;
    for (int i = 0; i < 6; ++i) {
        readers.push_back(std::make_unique<TaskProbe>([&](TaskProbe&) -> int64_t {
            running.fetch_add(1);
            OSThread::Sleep(1);
            running.fetch_sub(1);
            return 0;
        }));
    }
    // Only idle readers are signalled: one signalled during its run is re-run at once, and
    // on a loaded machine could keep the writer queued behind it for long.
    std::atomic<bool> stop{false};
    BoundedThread driver([&] {
        while (!stop) {
            for (auto& reader : readers)
                if (reader->GetEvents() == 0) reader->Signal(0x1);
            OSThread::Sleep(1);
        }
    });
    TaskProbe writer([&](TaskProbe& self) -> int64_t {
        if (running.load() != 0) overlapped = true;
        OSThread::Sleep(5);
        if (running.load() != 0) overlapped = true;
        // Giving the hold up inside the run, twice: only the first releases it.
        if (self.fRuns.load() == 0) {
            self.ReleaseGlobalLock();
            self.ReleaseGlobalLock();
        }
        return 0;
    });
    for (int run = 1; run <= 10; ++run) {
        ASSERT_TRUE(WaitUntil([&] { return writer.GetEvents() == 0; }));
        writer.AskForGlobalWriteLock();  // cleared again after the run
        writer.Signal(0x1);
        ASSERT_TRUE(WaitUntil([&] { return writer.fRuns.load() == run; }));
    }
    stop = true;
    driver.Join();
    for (auto& reader : readers)
        EXPECT_TRUE(WaitUntil([&] { return reader->GetEvents() == 0; }));
    EXPECT_FALSE(overlapped);
    EXPECT_GT(readers[0]->fRuns.load(), 0);
    // The lock is free and consistent: a writer, then two readers.
    EXPECT_EQ(sGlobalRWMutex.TryLockWrite(), 0);
    sGlobalRWMutex.Unlock();
    EXPECT_EQ(sGlobalRWMutex.TryLockRead(), 0);
    EXPECT_EQ(sGlobalRWMutex.TryLockRead(), 0);
    EXPECT_EQ(sGlobalRWMutex.TryLockWrite(), EBUSY);
    sGlobalRWMutex.Unlock();
    sGlobalRWMutex.Unlock();
}

TEST(TaskScheduling, WaitsAreClampedForNearAndFarTimers) {
    const struct {
        int64_t fUntilDue;
        int32_t fWait;
    } rows[] = {{0, 10},
                {5, 10},
                {250, 250},
                // Cut to 32 bits these would read as zero or negative: "no limit".
                {0x100000000LL, INT32_MAX},
                {0x80000005LL, INT32_MAX},
                {INT64_MAX, INT32_MAX}};
    for (const auto& row : rows)
        EXPECT_EQ(TaskThread::WaitMSecFor(row.fUntilDue), row.fWait) << row.fUntilDue;
}

// Many tasks signalled from many threads, and from batches as the event loop does: no task
// ever runs on two threads at once, and the last signal every task receives is seen by a
// run.
TEST(TaskScheduling, StressOneRunAtATimeAndNothingLost) {
    constexpr int kTasks = 40;
    constexpr uint32_t kFinalBit = 0x100;
    struct Counted : TaskProbe {
        std::atomic<int> fInside{0};
    };
    std::atomic<bool> overlapped{false};
    std::vector<std::unique_ptr<Counted>> tasks(kTasks);
    for (auto& task : tasks) {
        task = std::make_unique<Counted>();
        Counted* self = task.get();
        task->fBody = [self, &overlapped](TaskProbe& probe) -> int64_t {
            if (self->fInside.fetch_add(1) != 0) overlapped = true;
            if (probe.fRuns.load() % 7 == 0) probe.Signal(0x2);  // itself, now and then
            self->fInside.fetch_sub(1);
            return 0;
        };
    }
    {
        std::vector<std::unique_ptr<BoundedThread>> signallers;
        for (int s = 0; s < 4; ++s) {
            signallers.push_back(std::make_unique<BoundedThread>([&, s] {
                for (int i = 0; i < 3000; ++i) {
                    if (s % 2 == 0) {
                        tasks[(i * 7 + s) % kTasks]->Signal(0x1);
                        continue;
                    }
                    TaskWakeUpBatch batch;
                    for (int j = 0; j < 4; ++j)
                        tasks[(i * 5 + j + s) % kTasks]->Signal(0x1);
                }
            }));
        }
    }
    for (auto& task : tasks)
        task->Signal(kFinalBit);
    for (auto& task : tasks)
        EXPECT_TRUE(WaitUntil([&] { return (task->fEventsSeen.load() & kFinalBit) != 0; }));
    EXPECT_FALSE(overlapped);
}

}  // namespace
