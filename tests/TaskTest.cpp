// Tasks on a pool of three task threads: scheduling, re-runs, parking, deletion, locking.

#include <optional>

#include "OSAtomic.h"
#include "support/RuntimeEnvironment.h"
#include "support/TaskProbe.h"

namespace {

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(3));

TaskThread* ThreadAt(uint32_t index) {
    return TaskThreadPool::sTaskThreadArray[index];
}

TEST(TaskNames, PrefixCutAndValidityThroughRenames) {
    TaskProbe task;
    EXPECT_STREQ(task.GetTaskName(), "live_unknown");
    task.SetTaskName(nullptr);
    const std::string sixty(60, 'n');
    task.SetTaskName(sixty.c_str());
    EXPECT_EQ(std::string(task.GetTaskName()), "live_" + sixty.substr(0, 42));
    // A live task reads as valid all through renames on another thread.
    std::atomic<bool> stop{false};
    BoundedThread renamer([&] {
        for (int i = 0; !stop.load(std::memory_order_relaxed); ++i)
            task.SetTaskName(i % 2 ? "a" : "a much longer name");
    });
    int invalid = 0;
    for (const int64_t until = OS::Milliseconds() + 100; OS::Milliseconds() < until;)
        for (int i = 0; i < 4096; ++i)
            invalid += task.Valid() ? 0 : 1;
    stop = true;
    renamer.Join();
    EXPECT_EQ(invalid, 0);
    // An overwritten prefix: invalid, and signals change nothing.
    const_cast<char*>(task.GetTaskName())[2] = 'X';
    task.Signal(0x4);
    EXPECT_EQ(task.GetEvents(), 0u);
}

TEST(TaskScheduling, SignalsCoalesceIntoOneRunAndASignalDuringItRerunsOnTheSameThread) {
    TaskProbe task([](TaskProbe& self) {
        EXPECT_EQ(self.TakeEvents(), 0u);  // the probe took them already
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
    EXPECT_EQ(task.GetEvents(), 0u);
    // Pinned for those runs only: its next signal takes a turn of the round robin.
    const uint32_t counter = AtomicRead(&TaskThreadPool::sRoundRobinCounter);
    task.Signal(0x1);
    EXPECT_EQ(AtomicRead(&TaskThreadPool::sRoundRobinCounter), counter + 1);
    EXPECT_TRUE(WaitUntil([&] { return task.fRuns.load() == 3; }));
}

// Parked, a task runs at its time, on its thread, ahead of work queued earlier, with the timer bit
// and what was signalled meanwhile; one parked for less runs first though parked before.
TEST(TaskScheduling, ParkedTasksRunAtTheirTimesAheadOfQueuedWork) {
    const auto parkingFor = [](int64_t wait) {
        return [wait](TaskProbe& self) { return int64_t(self.fRuns.load() == 0 ? wait : 0); };
    };
    TaskProbe shortly(parkingFor(50)), parked(parkingFor(300)), queued;
    for (TaskProbe* task : {&shortly, &parked, &queued})
        task->PinTo(ThreadAt(2));
    shortly.Signal(0x1);
    ASSERT_TRUE(shortly.RanOnce());
    parked.Signal(0x1);
    ASSERT_TRUE(parked.RanOnce());
    const int64_t firstRun = parked.fLastRunAt.load();
    ASSERT_TRUE(WaitUntil([&] { return shortly.fRuns.load() == 2; }));
    EXPECT_LT(shortly.fLastRunAt.load() - firstRun, 200);
    EXPECT_EQ(parked.fRuns.load(), 1);
    parked.fEventsSeen = 0;
    parked.Signal(0x40);
    {
        BlockerTask blocker(ThreadAt(2));  // held past the timer's time
        queued.Signal(0x1);
        EXPECT_TRUE(StaysFalseFor([&] { return parked.fRuns.load() > 1; }, 400ms));
    }
    ASSERT_TRUE(WaitUntil([&] { return parked.fRuns.load() == 2 && queued.fRuns.load() == 1; }));
    EXPECT_GE(parked.fLastRunAt.load() - firstRun, 290);
    EXPECT_EQ(parked.fEventsSeen.load(), Task::kTimerEvent | 0x40u);
    EXPECT_LT(parked.fLastRunOrder.load(), queued.fLastRunOrder.load());
}

// A negative result marks and deletes the task; an invalid task found in a run queue is
// dropped. Either way the thread goes on serving.
TEST(TaskScheduling, DeletedAndInvalidTasksLeaveTheirThreadServing) {
    struct Finishing : TaskProbe {
        explicit Finishing(std::atomic<char>* mark) : fMark(mark) {
            fBody = [](TaskProbe&) { return int64_t(-1); };
        }
        ~Finishing() override { *fMark = GetTaskName()[0]; }
        std::atomic<char>* fMark;
    };
    std::atomic<char> mark{'?'};
    auto* finishing = new Finishing(&mark);
    TaskProbe broken, after;
    broken.fAbandoned = true;  // dropped by its thread: it stays scheduled for good
    TaskProbe* const all[] = {finishing, &broken, &after};
    for (TaskProbe* task : all)
        task->PinTo(ThreadAt(1));
    {
        BlockerTask blocker(ThreadAt(1));
        for (TaskProbe* task : all)
            task->Signal(0x1);
        const_cast<char*>(broken.GetTaskName())[0] = 'x';  // overwritten while queued
    }
    ASSERT_TRUE(after.RanOnce());
    EXPECT_EQ(mark.load(), 'D');
    EXPECT_EQ(broken.fRuns.load(), 0);
}

// Readers re-signalled while idle (not during a run: that reruns at once). The writer's runs
// overlap none of theirs, also after the first gave the lock up twice; the lock is left free.
TEST(TaskScheduling, GlobalWriteLockExcludesEveryOtherRunAndIsReleasedOnce) {
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false}, stop{false};
    std::vector<std::unique_ptr<TaskProbe>> readers(6);
    for (auto& reader : readers)
        reader = std::make_unique<TaskProbe>([&](TaskProbe&) {
            running.fetch_add(1);
            OSThread::Sleep(1);
            running.fetch_sub(1);
            return int64_t(0);
        });
    BoundedThread driver([&] {
        for (; !stop; OSThread::Sleep(1))
            for (auto& reader : readers)
                if (reader->GetEvents() == 0) reader->Signal(0x1);
    });
    TaskProbe writer([&](TaskProbe& self) {
        for (int check = 0; check < 2; ++check, OSThread::Sleep(5))
            if (running.load() != 0) overlapped = true;
        if (self.fRuns.load() == 0) self.ReleaseGlobalLock(), self.ReleaseGlobalLock();
        return int64_t(0);
    });
    for (int run = 1; run <= 10; ++run) {
        ASSERT_TRUE(WaitUntil([&] { return writer.GetEvents() == 0; }));
        writer.AskForGlobalWriteLock();  // cleared again after the run
        writer.Signal(0x1);
        ASSERT_TRUE(WaitUntil([&] { return writer.fRuns.load() == run; }));
    }
    stop = true;
    driver.Join();
    EXPECT_FALSE(overlapped);
    EXPECT_GT(readers[0]->fRuns.load(), 0);
    for (auto& reader : readers)
        EXPECT_TRUE(WaitUntil([&] { return reader->GetEvents() == 0; }));
    EXPECT_EQ(sGlobalRWMutex.TryLockWrite(), 0);
    sGlobalRWMutex.Unlock();
}

TEST(TaskScheduling, WaitsAreClampedForNearAndFarTimers) {
    // Cut to 32 bits, the far ones would read as zero or negative: "no limit".
    const int64_t untilDue[] = {0, 5, 250, 0x100000000LL, 0x80000005LL, INT64_MAX};
    const int32_t wait[] = {10, 10, 250, INT32_MAX, INT32_MAX, INT32_MAX};
    for (size_t i = 0; i < std::size(wait); ++i)
        EXPECT_EQ(TaskThread::WaitMSecFor(untilDue[i]), wait[i]) << untilDue[i];
}

// Tasks signalled from several threads, some in batches, round after round: none runs on two
// threads at once, and every signaller's bit reaches every task in every round.
TEST(TaskScheduling, StressOneRunAtATimeAndNothingLost) {
    constexpr uint32_t kSignallers = 4, kRounds = 300, kAllBits = (1u << kSignallers) - 1;
    std::atomic<bool> overlapped{false}, stop{false};
    std::atomic<uint32_t> round{0}, signalled{0};
    std::vector<std::atomic<int>> inside(40);  // outlives the tasks, whose runs use it
    std::vector<std::unique_ptr<TaskProbe>> tasks(inside.size());
    for (size_t i = 0; i < tasks.size(); ++i)
        tasks[i] = std::make_unique<TaskProbe>([&, i](TaskProbe& self) {
            if (inside[i].fetch_add(1) != 0) overlapped = true;
            if (self.fRuns.load() % 7 == 0) self.Signal(0x100);  // itself, now and then
            inside[i].fetch_sub(1);
            return int64_t(0);
        });
    std::vector<std::unique_ptr<BoundedThread>> signallers;
    for (uint32_t s = 0; s < kSignallers; ++s)
        signallers.push_back(std::make_unique<BoundedThread>([&, s] {
            for (uint32_t done = 0; done < kRounds && !stop.load();) {
                if (round.load() == done) {
                    std::this_thread::yield();  // under valgrind a spin would starve the rest
                    continue;
                }
                std::optional<TaskWakeUpBatch> batch;
                if (s % 2 == 1) batch.emplace();
                for (auto& task : tasks)  // a few times over: the others hit it meanwhile
                    for (int again = 0; again < 8; ++again)
                        task->Signal(1u << s);
                batch.reset();
                signalled.fetch_add(1), ++done;
            }
        }));
    uint32_t lostIn = 0;
    for (uint32_t r = 1; r <= kRounds && lostIn == 0; ++r) {
        for (auto& task : tasks)
            task->fEventsSeen = 0;
        round = r;
        const bool allSeen = WaitUntil([&] {
            if (signalled.load() < r * kSignallers) return false;
            for (auto& task : tasks)
                if ((task->fEventsSeen.load() & kAllBits) != kAllBits) return false;
            return true;
        });
        if (!allSeen) lostIn = r;
    }
    stop = true;
    signallers.clear();
    EXPECT_EQ(lostIn, 0u) << "a signal was lost in that round";
    EXPECT_FALSE(overlapped);
    for (auto& task : tasks)
        EXPECT_TRUE(WaitUntil([&] { return task->GetEvents() == 0; }));
}

}  // namespace
