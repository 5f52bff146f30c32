// Signals before the pool exists, and a pool built with no threads.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "Task.h"
#include "support/TaskProbe.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;

TEST(TaskThreadPool, SignalsBeforeAnyThreadAreRecordedButNeverRun) {
    TaskProbe early;
    early.Signal(0x1);
    EXPECT_EQ(early.GetEvents(), Task::kScheduledBit | 0x1u);

    ASSERT_TRUE(TaskThreadPool::AddThreads(0));
    TaskProbe afterEmptyPool;
    afterEmptyPool.Signal(0x2);

    // The pool is built once: a second build is reported and changes nothing.
    AssertRecorder::Instance().Take();
    EXPECT_TRUE(TaskThreadPool::AddThreads(2));
    const auto texts = AssertRecorder::Instance().Take();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].rfind("_Assert: Task, ", 0), 0u) << texts[0];
    EXPECT_EQ(TaskThreadPool::sNumTaskThreads.load(), 0u);

    early.Signal(0x1);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(early.fRuns.load(), 0);
    EXPECT_EQ(afterEmptyPool.fRuns.load(), 0);
}

}  // namespace
