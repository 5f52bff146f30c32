#include "IdleDeadline.h"

#include "OS.h"
#include "OSCond.h"
#include "OSMutex.h"
#include "OSThread.h"
#include "Task.h"

std::atomic<uint32_t> IdleDeadline::sCoarseTick{0};

// The sweeper: a thread that keeps the coarse clock and a hashed timing wheel of armed
// deadlines. A deadline sits in the near slot of the tick at which it may be due, or, when
// that is a near rotation or more away, in the far slot of that rotation, which is emptied
// into the near slots when the rotation begins. A deadline is placed by its due tick as it
// was when placed; a refresh does not move it, so when its slot comes it is placed again
// by the later due tick, or fired. Created with the first Start; like the event loop, it
// lasts for the life of the process.
class IdleDeadlineWheel : public OSThread {
public:
    static constexpr uint32_t kTickMSec = IdleDeadline::kTickMSec;
    static constexpr uint32_t kNear = IdleDeadline::kNearSlots;
    static constexpr uint32_t kFar = IdleDeadline::kFarSlots;

    static IdleDeadlineWheel* Get() {
        static IdleDeadlineWheel* const sWheel = new IdleDeadlineWheel;
        return sWheel;
    }

    void Entry() override;

    // With fMutex held: puts the deadline into the wheel, the sweeper woken if it slept.
    void Arm(IdleDeadline* deadline);
    // With fMutex held: takes it out, if it is in.
    void Disarm(IdleDeadline* deadline);

    OSMutex fMutex;
    uint64_t fLooks = 0;

private:
    IdleDeadlineWheel() : fOriginMSec(OS::Milliseconds()) { Start(); }

    uint32_t TickNow() const { return uint32_t((OS::Milliseconds() - fOriginMSec) / kTickMSec); }
    // The first tick at which the deadline may be due. The clock the last activity read
    // trails the true tick by up to one until the sweeper wakes for the next, so the
    // activity came before the end of the tick after the one it read: counted from there.
    static uint32_t DueTick(const IdleDeadline* deadline) {
        return deadline->fLastActiveTick.load(std::memory_order_relaxed) + deadline->fTimeoutTicks +
               2;
    }
    // Files it under the due tick, as seen from `base`, the earliest tick not yet swept.
    void Place(IdleDeadline* deadline, uint32_t due, uint32_t base);
    void Sweep(uint32_t tick);

    OSCond fCond;               // Arm wakes the sweeper with it when nothing was armed
    const int64_t fOriginMSec;  // tick 0
    uint32_t fNextTick = 1;     // the first tick not yet swept
    uint32_t fArmed = 0;
    OSQueue fNear[kNear];
    OSQueue fFar[kFar];
};

void IdleDeadlineWheel::Entry() {
    OSMutexLocker locker(&fMutex);
    for (;;) {
        // Nothing to sweep: no clock to keep either, since Arm sets it when it wakes us.
        if (fArmed == 0) {
            fCond.Wait(&fMutex);
            continue;
        }
        const int64_t sinceOrigin = OS::Milliseconds() - fOriginMSec;
        const uint32_t now = uint32_t(sinceOrigin / kTickMSec);
        IdleDeadline::sCoarseTick.store(now, std::memory_order_relaxed);
        // Every tick is swept, even after a stall: a far slot is emptied only at its tick.
        while (fArmed > 0 && int32_t(now - fNextTick) >= 0)
            Sweep(fNextTick++);
        fCond.Wait(&fMutex, int32_t(kTickMSec - sinceOrigin % kTickMSec));
    }
}

void IdleDeadlineWheel::Arm(IdleDeadline* deadline) {
    if (fArmed++ == 0) {
        // The sweeper slept and kept no clock; with nothing in the wheel, no tick is missed.
        const uint32_t now = TickNow();
        IdleDeadline::sCoarseTick.store(now, std::memory_order_relaxed);
        fNextTick = now + 1;
        fCond.Signal();
    }
    deadline->fLastActiveTick.store(IdleDeadline::sCoarseTick.load(std::memory_order_relaxed),
                                    std::memory_order_relaxed);
    Place(deadline, DueTick(deadline), fNextTick);
}

void IdleDeadlineWheel::Disarm(IdleDeadline* deadline) {
    OSQueue* slot = deadline->fWheelElem.GetCurrentQueue();
    if (slot == nullptr) return;
    slot->Remove(&deadline->fWheelElem);
    --fArmed;
}

void IdleDeadlineWheel::Place(IdleDeadline* deadline, uint32_t due, uint32_t base) {
    uint32_t ahead = int32_t(due - base) < 0 ? 0 : due - base;
    if (ahead < kNear) {
        fNear[(base + ahead) % kNear].Enqueue(&deadline->fWheelElem);
        return;
    }
    // Beyond the far reach it waits in the last far slot and is placed again from there;
    // any nearer, its far slot cannot be the one of the rotation under way.
    if (ahead > (kFar - 1) * kNear) ahead = (kFar - 1) * kNear;
    fFar[((base + ahead) / kNear) % kFar].Enqueue(&deadline->fWheelElem);
}

void IdleDeadlineWheel::Sweep(uint32_t tick) {
    // A rotation begins: its far slot goes to the near slots, the due ones to this tick's.
    if (tick % kNear == 0) {
        OSQueue& far = fFar[(tick / kNear) % kFar];
        for (uint32_t count = far.GetLength(); count > 0; --count) {
            auto* deadline = static_cast<IdleDeadline*>(far.Dequeue()->GetEnclosingObject());
            ++fLooks;
            Place(deadline, DueTick(deadline), tick);
        }
    }
    // Those placed again go to other slots, or behind the ones counted here.
    OSQueue& near = fNear[tick % kNear];
    for (uint32_t count = near.GetLength(); count > 0; --count) {
        auto* deadline = static_cast<IdleDeadline*>(near.Dequeue()->GetEnclosingObject());
        ++fLooks;
        const uint32_t due = DueTick(deadline);
        if (int32_t(due - tick) > 0) {
            Place(deadline, due, tick + 1);
            continue;
        }
        // Signalled under the lock, so that a Cancel that returned sees no signal after it.
        --fArmed;
        deadline->fTask->Signal(deadline->fEvents);
    }
}

// ---- IdleDeadline --------------------------------------------------------------------------

int32_t IdleDeadline::Start(Task* task, uint32_t timeoutMSec, uint32_t events) {
    if (task == nullptr || events == 0 || (events & Task::kScheduledBit) != 0 || timeoutMSec == 0 ||
        timeoutMSec > kMostTimeoutMSec)
        return EINVAL;
    if (fWheel == nullptr) fWheel = IdleDeadlineWheel::Get();
    OSMutexLocker locker(&fWheel->fMutex);
    fWheel->Disarm(this);
    fTask = task;
    fEvents = events;
    fTimeoutTicks = (timeoutMSec + kTickMSec - 1) / kTickMSec;
    fWheel->Arm(this);
    return 0;
}

void IdleDeadline::Cancel() {
    if (fWheel == nullptr) return;  // never started
    OSMutexLocker locker(&fWheel->fMutex);
    fWheel->Disarm(this);
}

Bool16 IdleDeadline::IsArmed() {
    if (fWheel == nullptr) return 0;
    OSMutexLocker locker(&fWheel->fMutex);
    return fWheelElem.GetCurrentQueue() != nullptr ? 1 : 0;
}

uint64_t IdleDeadline::LooksSoFar() {
    IdleDeadlineWheel* wheel = IdleDeadlineWheel::Get();
    OSMutexLocker locker(&wheel->fMutex);
    return wheel->fLooks;
}
