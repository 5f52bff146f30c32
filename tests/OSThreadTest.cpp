// Threads: the current-thread slot, stop requests and joining exactly once.

#include "OSThread.h"
#include "support/TestSupport.h"

namespace {

class PollingThread : public OSThread {
public:
    ~PollingThread() override { StopAndWaitForThread(); }  // before fSeenSelf goes
    void Entry() override {
        fSeenSelf = GetCurrent();
        while (!IsStopRequested())
            OSThread::Sleep(1);
    }
    std::atomic<OSThread*> fSeenSelf{nullptr};
};

// A second join would wait on a released handle: it is reported and skipped, and neither a
// second StopAndWaitForThread nor the destructor tries one.
TEST(OSThread, KnowsItselfAndIsJoinedExactlyOnce) {
    EXPECT_EQ(OSThread::GetCurrent(), nullptr);
    ReportedAsserts asserts;
    {
        PollingThread thread;
        thread.Start();
        EXPECT_TRUE(WaitUntil([&] { return thread.fSeenSelf.load() == &thread; }));
        thread.StopAndWaitForThread();
        thread.Join();
        thread.StopAndWaitForThread();
    }
    EXPECT_EQ(asserts.Take().size(), 1u);
}

}  // namespace
