/// @file
/// Idle deadlines: "signal this task if nothing has happened on its connection for N ms".
///
/// A task parked with a positive Run result is not woken by signals, so it cannot wait for
/// "readable, or idle too long"; an idle deadline can. The task owns one per connection (a
/// member), starts it with the event bit of its choosing and refreshes it on every read;
/// once the deadline has gone unrefreshed for its timeout, the task is signalled with that
/// bit, once.
///
/// Costs. Refresh is one relaxed atomic store of a coarse clock the library keeps: no lock,
/// no allocation, no system call. Start and Cancel take one lock and allocate nothing. One
/// library-owned thread keeps the clock and sweeps a two-level timing wheel of 100 ms ticks
/// (kTickMSec, the granularity); it looks at a deadline when its time may have come, not at
/// every tick: an idle or steadily refreshed deadline is looked at about once per timeout
/// (timeouts above kNearReachMSec once more, and those above kFarReachMSec about once per
/// kFarReachMSec). The thread sleeps without limit while no deadline is armed.
///
/// Timing. A deadline fires no sooner than its timeout after the last Start or Refresh, and
/// less than three ticks after it, plus however late the sweeper thread is scheduled. A
/// sweeper more than a tick behind its clock can make a deadline fire up to that much early.
///
/// Re-arming. A deadline that fired is disarmed: Refresh does nothing to it until the owner
/// calls Start again. A Refresh that races the firing may not stop it; the connection was
/// idle for the timeout just before.
#pragma once

#include <atomic>
#include <cstdint>

#include "OSQueue.h"
#include "OSTypes.h"

class IdleDeadlineWheel;
class Task;

/// One connection's idle deadline; see the file's description. Not copyable: the wheel
/// keeps its address while it is armed.
class IdleDeadline {
public:
    static constexpr uint32_t kTickMSec = 100;   ///< The sweeper's tick: the granularity.
    static constexpr uint32_t kNearSlots = 32;   ///< The first level: one tick each.
    static constexpr uint32_t kFarSlots = 1024;  ///< The second: kNearSlots ticks each.
    /// The span of the first level.
    static constexpr uint32_t kNearReachMSec = kTickMSec * kNearSlots;
    /// The span of the second level.
    static constexpr uint32_t kFarReachMSec = kNearReachMSec * (kFarSlots - 1);
    static constexpr uint32_t kMostTimeoutMSec = 0x7FFFFFFF;  ///< The longest timeout.

    IdleDeadline() : fWheelElem(this) {}  ///< Disarmed.
    /// Cancels it.
    ~IdleDeadline() { Cancel(); }
    IdleDeadline(const IdleDeadline&) = delete;
    IdleDeadline& operator=(const IdleDeadline&) = delete;

    /// Arms the deadline, or re-arms it with these values: the task is signalled with
    /// `events` once nothing has refreshed it for timeoutMSec (1 to kMostTimeoutMSec). 0, or
    /// EINVAL for a null task, no event bits or a timeout out of range (then it is left as
    /// it was). The first Start of the process starts the sweeper thread.
    int32_t Start(Task* task, uint32_t timeoutMSec, uint32_t events);

    /// Counts as activity: the deadline's timeout starts again. Any time, from the owner.
    void Refresh() {
        fLastActiveTick.store(sCoarseTick.load(std::memory_order_relaxed),
                              std::memory_order_relaxed);
    }

    /// Disarms it. Once Cancel returns, the library neither touches the deadline nor
    /// signals its task for it (a signal sent before is the task's to take), so either may
    /// be destroyed. Not while another thread calls Start on the same deadline.
    void Cancel();

    /// Armed: started and neither fired nor cancelled since.
    Bool16 IsArmed();

    /// Deadlines the sweeper has looked at so far, process-wide, for diagnostics.
    static uint64_t LooksSoFar();

private:
    friend class IdleDeadlineWheel;

    // The sweeper's clock in ticks, advanced once per tick; read by Refresh.
    static std::atomic<uint32_t> sCoarseTick;

    std::atomic<uint32_t> fLastActiveTick{0};
    // The rest is guarded by the wheel's lock.
    IdleDeadlineWheel* fWheel = nullptr;  // set by the first Start
    Task* fTask = nullptr;
    uint32_t fEvents = 0;
    uint32_t fTimeoutTicks = 0;
    OSQueueElem fWheelElem;  // in one slot of the wheel while armed
};
