// Threads: the current-thread slot, stop requests and joining once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "OSThread.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;

class PollingThread : public OSThread {
public:
    ~PollingThread() override { StopAndWaitForThread(); }
    void Entry() override {
        fSeenSelf = GetCurrent();
        fStarted = true;
        while (!IsStopRequested())
            OSThread::Sleep(1);
        fEnded = true;
    }
    std::atomic<OSThread*> fSeenSelf{nullptr};
    std::atomic<bool> fStarted{false};
    std::atomic<bool> fEnded{false};
};

TEST(OSThread, GetCurrentIsNullOnHostThreadsAndTheObjectInsideEntry) {
    EXPECT_EQ(OSThread::GetCurrent(), nullptr);
    PollingThread thread;
    thread.Start();
    ASSERT_TRUE(WaitUntil([&] { return thread.fStarted.load(); }));
    EXPECT_EQ(thread.fSeenSelf.load(), &thread);
}

TEST(OSThread, DestructionStopsAndJoinsOnce) {
    std::atomic<bool>* ended = nullptr;
    {
        auto* thread = new PollingThread;
        thread->Start();
        ASSERT_TRUE(WaitUntil([&] { return thread->fStarted.load(); }));
        thread->SendStopRequest();
        EXPECT_TRUE(thread->IsStopRequested());
        ended = &thread->fEnded;
        ASSERT_TRUE(WaitUntil([&] { return ended->load(); }));
        delete thread;
    }
    EXPECT_EQ(AssertRecorder::Instance().Take().size(), 0u);
}

TEST(OSThread, StopAndWaitOnAJoinedThreadReturnsAtOnce) {
    PollingThread thread;
    thread.Start();
    thread.StopAndWaitForThread();
    EXPECT_TRUE(thread.fEnded);
    thread.StopAndWaitForThread();
    EXPECT_EQ(AssertRecorder::Instance().Take().size(), 0u);
}

TEST(OSThread, SecondJoinAssertsAndDoesNotWait) {
    PollingThread thread;
    thread.Start();
    thread.SendStopRequest();
    thread.Join();
    thread.Join();
    const auto texts = AssertRecorder::Instance().Take();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].rfind("_Assert: OSThread, ", 0), 0u) << texts[0];
}

TEST(OSThread, SleepAndYield) {
    const auto start = std::chrono::steady_clock::now();
    OSThread::Sleep(0);
    OSThread::Yield();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    OSThread::Sleep(30);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 25ms);
}

}  // namespace
