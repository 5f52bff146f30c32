// Task groups: stopping signals every member, refuses new ones, and the wait ends when the
// last member is deleted, or at its bound.

#include "OS.h"
#include "TaskGroup.h"
#include "support/RuntimeEnvironment.h"
#include "support/TaskProbe.h"

namespace {

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

constexpr uint32_t kStop = 0x100;

// Ends (and is deleted by its thread) when told to stop, unless it is stubborn.
struct Member : TaskProbe {
    explicit Member(bool stubborn = false) {
        fBody = [stubborn](TaskProbe& self) {
            return int64_t(!stubborn && (self.fEventsSeen.load() & kStop) ? -1 : 0);
        };
    }
    TaskGroup::Member fMember{this};
};

TEST(TaskGroup, StopSignalsEveryMemberRefusesNewOnesAndTheWaitEndsWithTheLast) {
    TaskGroup group;
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE((new Member)->fMember.Join(&group));
    EXPECT_EQ(group.Count(), 20u);
    group.SignalAll(0x1);  // members that stay
    EXPECT_TRUE(StaysFalseFor([&] { return group.Count() < 20; }, 50ms));

    // A waiter is woken by the last member's deletion, long before its bound.
    const int64_t start = OS::Milliseconds();
    bool emptied = false;
    BoundedThread waiter([&] { emptied = group.WaitUntilEmpty(10000); });
    group.Stop(kStop);
    waiter.Join();
    EXPECT_TRUE(emptied);
    EXPECT_LT(OS::Milliseconds() - start, 5000);
    Member late;
    EXPECT_FALSE(late.fMember.Join(&group));
    EXPECT_EQ(group.Count(), 0u);
}

TEST(TaskGroup, AWaitForAMemberThatDoesNotEndEndsAtItsBound) {
    TaskGroup group;
    Member stubborn(true);
    ASSERT_TRUE(stubborn.fMember.Join(&group));
    group.Stop(kStop);
    const int64_t start = OS::Milliseconds();
    EXPECT_FALSE(group.WaitUntilEmpty(150));
    EXPECT_GE(OS::Milliseconds() - start, 140);
    ASSERT_TRUE(stubborn.RanOnce());
    stubborn.fMember.Leave();
    EXPECT_TRUE(group.WaitUntilEmpty(0));
}

}  // namespace
