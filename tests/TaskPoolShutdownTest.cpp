// Taking the pool down: idle threads end within a wake-up, queued tasks run first.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "Task.h"
#include "support/TaskProbe.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;

TEST(TaskThreadPool, RemoveThreadsRunsWhatIsQueuedThenEndsEveryThread) {
    ASSERT_TRUE(TaskThreadPool::AddThreads(2));
    ASSERT_EQ(TaskThreadPool::sNumTaskThreads.load(), 2u);
    TaskThread* busy = TaskThreadPool::sTaskThreadArray[0];

    // Thread 0 is held by a slow task while more work queues up behind it.
    TaskProbe blocker([](TaskProbe&) {
        std::this_thread::sleep_for(200ms);
        return int64_t(0);
    });
    blocker.PinTo(busy);
    blocker.Signal(0x1);
    ASSERT_TRUE(WaitUntil([&] { return blocker.fLastThread.load() != nullptr; }));
    std::vector<std::unique_ptr<TaskProbe>> queued;
    for (int i = 0; i < 5; ++i) {
        queued.push_back(std::make_unique<TaskProbe>());
        queued.back()->PinTo(busy);
        queued.back()->Signal(0x1);
    }

    // Thread 1 is idle: it must not keep the removal waiting past its next wake-up.
    const auto start = std::chrono::steady_clock::now();
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        TaskThreadPool::RemoveThreads();
        removed = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return removed.load(); }));
    remover.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    for (auto& task : queued)
        EXPECT_EQ(task->fRuns.load(), 1);
    EXPECT_EQ(TaskThreadPool::sNumTaskThreads.load(), 0u);

    // With no threads, signals are recorded but queue nothing.
    TaskProbe late;
    late.Signal(0x4);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(late.fRuns.load(), 0);
    EXPECT_EQ(late.GetEvents(), Task::kScheduledBit | 0x4u);
}

}  // namespace
