// Threads: the current-thread slot, stop requests and joining exactly once.
#include <gtest/gtest.h>

#include "OSThread.h"
#include "support/TestSupport.h"

namespace {

class PollingThread : public OSThread {
public:
    ~PollingThread() override { StopAndWaitForThread(); }
    void Entry() override {
        fSeenSelf = GetCurrent();
        while (!IsStopRequested())
            OSThread::Sleep(1);
    }
    std::atomic<OSThread*> fSeenSelf{nullptr};
};

TEST(OSThread, KnowsItselfAndIsJoinedExactlyOnce) {
    EXPECT_EQ(OSThread::GetCurrent(), nullptr);
    ReportedAsserts asserts;
    {
        PollingThread thread;
        thread.Start();
        EXPECT_TRUE(WaitUntil([&] { return thread.fSeenSelf.load() == &thread; }));
        thread.StopAndWaitForThread();
        thread.StopAndWaitForThread();  // joined already: returns at once
    }                                   // nor does destruction join again
    EXPECT_TRUE(asserts.Take().empty());
    PollingThread thread;
    thread.Start();
    thread.SendStopRequest();
    thread.Join();
    thread.Join();  // reported, and no wait on the released handle
    EXPECT_EQ(asserts.Take().size(), 1u);
}

}  // namespace
