// Idle deadlines on two task threads: one firing per expiry at about its time, none while
// refreshed or once cancelled, and thousands at once.
#include <tuple>

#include "IdleDeadline.h"
#include "support/RuntimeEnvironment.h"
#include "support/TaskProbe.h"

namespace {

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

constexpr uint32_t kIdleEvent = 0x00100000;
// How late a firing may come on a loaded machine; it is never asked to come sooner.
constexpr int64_t kSlackMSec = 500;

// A connection's task: refreshes every refreshMSec (0: never) until told to stop; on a firing,
// records how long it was idle and starts again while restarts are left.
class Owner : public TaskProbe {
public:
    Owner(uint32_t timeoutMSec, uint32_t refreshMSec, int restarts = 0)
        : TaskProbe([this, timeoutMSec, refreshMSec](TaskProbe& self) {
              const int64_t now = OS::Milliseconds();
              if (self.fLastEvents.load() & kIdleEvent) {
                  fIdleFor.push_back(now - fLastActiveAt);
                  if (fOnFire) fOnFire();
                  if (fRestarts-- > 0) {
                      EXPECT_EQ(fDeadline.Start(this, timeoutMSec, kIdleEvent), 0);
                      fLastActiveAt = now;
                  }
                  fFires.fetch_add(1);
              }
              if (refreshMSec == 0 || fStopRefreshing.load()) return int64_t(0);
              fDeadline.Refresh();
              fLastActiveAt = now;
              return int64_t(refreshMSec);
          }),
          fRestarts(restarts) {
        fLastActiveAt = OS::Milliseconds();
        EXPECT_EQ(fDeadline.Start(this, timeoutMSec, kIdleEvent), 0);
        if (refreshMSec != 0) Signal(0x1);
    }
    ~Owner() override {
        fStopRefreshing = true;
        fDeadline.Cancel();
        EXPECT_TRUE(WaitUntil([this] { return (GetEvents() & kScheduledBit) == 0; }));
    }

    IdleDeadline fDeadline;
    std::atomic<int> fFires{0};
    std::atomic<bool> fStopRefreshing{false};
    std::function<void()> fOnFire;  // set before the first firing
    std::vector<int64_t> fIdleFor;  // written by the task, read once fFires says so

private:
    int64_t fLastActiveAt = 0;
    int fRestarts;
};

// Side by side, each firing comes within the slack after the timeout, and no more follow.
TEST(IdleDeadline, FiresOncePerExpiryAtAboutItsTimeAndNeverWhileRefreshed) {
    struct Row {
        const char* fName;
        uint32_t fTimeoutMSec;
        uint32_t fRefreshMSec;    // 0: left idle
        int64_t fRefreshForMSec;  // then left idle
        int fRestarts;
    };
    const Row rows[] = {
        {"idle", 300, 0, 0, 0},
        {"idle, a long timeout", 1200, 0, 0, 0},
        {"refreshed for five timeouts", 200, 40, 1000, 0},
        {"started again twice after firing", 200, 0, 0, 2},
        {"beyond the near wheel", IdleDeadline::kNearReachMSec + 100, 0, 0, 0},
    };
    std::vector<std::unique_ptr<Owner>> owners;
    for (const Row& row : rows)
        owners.push_back(
            std::make_unique<Owner>(row.fTimeoutMSec, row.fRefreshMSec, row.fRestarts));
    const int64_t start = OS::Milliseconds();
    for (size_t i = 0; i < owners.size(); ++i) {
        if (rows[i].fRefreshForMSec == 0) continue;
        const int64_t wait = start + rows[i].fRefreshForMSec - OS::Milliseconds();
        if (wait > 0) OSThread::Sleep(uint32_t(wait));
        owners[i]->fStopRefreshing = true;
    }
    for (size_t i = 0; i < owners.size(); ++i) {
        const Row& row = rows[i];
        Owner& owner = *owners[i];
        SCOPED_TRACE(row.fName);
        const auto limit = std::chrono::milliseconds(row.fTimeoutMSec * (row.fRestarts + 1) +
                                                     row.fRefreshForMSec + 10000);
        ASSERT_TRUE(WaitUntil([&] { return owner.fFires.load() == row.fRestarts + 1; }, limit));
        for (const int64_t idleFor : owner.fIdleFor) {
            EXPECT_GE(idleFor, row.fTimeoutMSec);
            EXPECT_LE(idleFor, row.fTimeoutMSec + kSlackMSec);
        }
        EXPECT_FALSE(owner.fDeadline.IsArmed());
    }
    EXPECT_TRUE(StaysFalseFor(
        [&] {
            for (size_t i = 0; i < owners.size(); ++i)
                if (owners[i]->fFires.load() != rows[i].fRestarts + 1) return true;
            return false;
        },
        700ms));
}

// What could never fire is refused. Cancelled about its time, a deadline's task may be deleted
// at once, and nothing touches either afterwards.
TEST(IdleDeadline, ACancelledDeadlineNeverFiresAndItsTaskMayBeDeletedAtOnce) {
    TaskProbe task;
    IdleDeadline refused;
    for (const auto& [who, timeout, events] :
         {std::tuple<Task*, uint32_t, uint32_t>{nullptr, 100, kIdleEvent},
          {&task, 0, kIdleEvent},
          {&task, 100, Task::kScheduledBit}})
        EXPECT_EQ(refused.Start(who, timeout, events), EINVAL);
    EXPECT_FALSE(refused.IsArmed());
    for (int round = 0; round < 4; ++round) {
        std::vector<std::unique_ptr<Owner>> racing;
        for (int i = 0; i < 500; ++i)
            racing.push_back(std::make_unique<Owner>(100 + 10 * (i % 30), 0));
        // Cancelled over the next 250 ms, across the ticks at which the others fire.
        OSThread::Sleep(150);
        for (size_t i = 0; i < racing.size(); ++i) {
            racing[i]->fDeadline.Cancel();
            racing[i].reset();
            if (i % 2 == 1) OSThread::Sleep(1);
        }
    }
    // Cancelled by a run for a firing of the same sweep (all started at once to share it), the
    // last first: one not signalled when Cancel returned must never be.
    auto killer = std::make_unique<Owner>(60000, 0);
    std::vector<std::unique_ptr<Owner>> victims;
    for (int i = 0; i < 1000; ++i)
        victims.push_back(std::make_unique<Owner>(60000, 0));
    std::vector<int> signalled(victims.size());
    killer->fOnFire = [&] {
        for (size_t i = victims.size(); i-- > 0;) {
            victims[i]->fDeadline.Cancel();
            // A run that ended has counted its firing before it cleared the scheduled bit.
            signalled[i] = (victims[i]->GetEvents() & Task::kScheduledBit) != 0 ||
                           victims[i]->fFires.load() != 0;
        }
    };
    ASSERT_EQ(killer->fDeadline.Start(killer.get(), 200, kIdleEvent), 0);
    for (auto& victim : victims)
        ASSERT_EQ(victim->fDeadline.Start(victim.get(), 200, kIdleEvent), 0);
    ASSERT_TRUE(WaitUntil([&] { return killer->fFires.load() == 1; }));
    ASSERT_TRUE(WaitUntil([&] {
        for (size_t i = 0; i < victims.size(); ++i)
            if (victims[i]->fFires.load() < signalled[i]) return false;
        return true;
    }));
    EXPECT_TRUE(StaysFalseFor(
        [&] {
            for (size_t i = 0; i < victims.size(); ++i)
                if (victims[i]->fFires.load() != signalled[i]) return true;
            return false;
        },
        300ms));
}

// Thousands at once, a third idle, refreshed, or cancelled: each idle one fires exactly once,
// and the sweeper looks at a deadline about once per timeout, not at every tick.
TEST(IdleDeadline, ThousandsAtOnceEachIdleOneFiresExactlyOnce) {
    constexpr int kOwners = 3000;
    const uint64_t looksBefore = IdleDeadline::LooksSoFar();
    const int64_t start = OS::Milliseconds();
    std::vector<std::unique_ptr<Owner>> owners;
    for (int i = 0; i < kOwners; ++i) {
        const bool refreshed = i % 3 == 1;
        owners.push_back(refreshed ? std::make_unique<Owner>(500, 100)
                                   : std::make_unique<Owner>(200 + 100 * (i % 7), 0));
    }
    for (int i = 2; i < kOwners; i += 3)
        owners[i]->fDeadline.Cancel();
    ASSERT_TRUE(WaitUntil([&] {
        for (int i = 0; i < kOwners; i += 3)
            if (owners[i]->fFires.load() == 0) return false;
        return true;
    }));
    OSThread::Sleep(900);  // more than the longest timeout again: no second firing
    for (auto& owner : owners)
        owner->fStopRefreshing = true;
    for (int i = 0; i < kOwners; ++i)
        ASSERT_EQ(owners[i]->fFires.load(), i % 3 == 0 ? 1 : 0) << "deadline " << i;
    const int64_t elapsed = OS::Milliseconds() - start;
    // An idle one is looked at once, a refreshed one about once per timeout (500 ms).
    EXPECT_LE(IdleDeadline::LooksSoFar() - looksBefore,
              uint64_t(kOwners + kOwners / 3 * elapsed / 300));
}

}  // namespace
