// The pool's life in one process: signals before it exists, removal with work queued and
// signals still coming, and signals after it is gone.

#include "support/TaskProbe.h"

namespace {

TEST(TaskThreadPool, SignalsOutsideThePoolsLifeAreRecordedAndNeverRun) {
    if (TaskThreadPool::sTaskThreadArray != nullptr) GTEST_SKIP() << "a pool lives once a process";
    // Before the pool exists: recorded, and never run, even once threads are added.
    TaskProbe early;
    early.fAbandoned = true;
    early.Signal(0x1);
    EXPECT_EQ(early.GetEvents(), Task::kScheduledBit | 0x1u);
    ASSERT_TRUE(TaskThreadPool::AddThreads(2));
    early.Signal(0x2);
    EXPECT_TRUE(StaysFalseFor([&] { return early.fRuns.load() > 0; }, 100ms));

    TaskThread* const first = TaskThreadPool::sTaskThreadArray[0];

    // Thread 0 is held with work queued behind it; thread 1 is idle, with a signal in
    // flight (an open batch): the threads go only after it is done with them.
    auto blocker = std::make_unique<BlockerTask>(first);
    std::vector<std::unique_ptr<TaskProbe>> queued(5);
    for (auto& task : queued) {
        task = std::make_unique<TaskProbe>();
        task->PinTo(first);
        task->Signal(0x1);
    }
    TaskProbe batched;
    batched.PinTo(TaskThreadPool::sTaskThreadArray[1]);
    std::atomic<bool> batchOpen{false}, closeBatch{false}, removed{false};
    {
        BoundedThread dispatcher([&] {
            TaskWakeUpBatch batch;
            batched.Signal(0x1);
            batchOpen = true;
            WaitUntil([&] { return closeBatch.load(); });
        });
        ASSERT_TRUE(WaitUntil([&] { return batchOpen.load(); }));
        BoundedThread remover([&] {
            TaskThreadPool::RemoveThreads();
            removed = true;
        });
        blocker->Release();
        EXPECT_TRUE(StaysFalseFor([&] { return removed.load(); }, 200ms));
        closeBatch = true;
    }
    EXPECT_TRUE(removed.load());
    for (auto& task : queued)
        EXPECT_EQ(task->fRuns.load(), 1);
    EXPECT_EQ(batched.fRuns.load(), 1);
    EXPECT_EQ(TaskThreadPool::sNumTaskThreads.load(), 0u);
    blocker.reset();

    // Afterwards, signals are recorded but queue nothing.
    TaskProbe after;
    after.Signal(0x4);
    EXPECT_TRUE(StaysFalseFor([&] { return after.fRuns.load() > 0; }, 30ms));
    EXPECT_EQ(after.GetEvents(), Task::kScheduledBit | 0x4u);
}

}  // namespace
