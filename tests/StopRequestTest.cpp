// Stop requests: waiters block without polling and are all released by the first request.
// A request lasts for the life of the process, so this suite has a process of its own.

#include "OS.h"
#include "RuntimeHost.h"
#include "support/TestSupport.h"

namespace {

TEST(StopRequests, AWaitEndsAtItsTimeThenEveryWaiterAtTheFirstRequest) {
    ASSERT_TRUE(RuntimeHost::WatchStopRequests());
    const int64_t start = OS::Milliseconds();
    EXPECT_FALSE(RuntimeHost::WaitForStopRequest(100));
    EXPECT_GE(OS::Milliseconds() - start, 90);

    std::atomic<int> released{0};
    std::vector<std::unique_ptr<BoundedThread>> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.push_back(std::make_unique<BoundedThread>([&] {
            if (RuntimeHost::WaitForStopRequest()) released.fetch_add(1);
        }));
    }
    EXPECT_TRUE(StaysFalseFor([&] { return released.load() > 0; }, 100ms));
    RuntimeHost::RequestStop();
    EXPECT_TRUE(WaitUntil([&] { return released.load() == 3; }));
    EXPECT_TRUE(RuntimeHost::StopRequested());
    EXPECT_TRUE(RuntimeHost::WaitForStopRequest(0));  // and for good
}

}  // namespace
