#include "OSCond.h"

#include "OSAssert.h"
#include "OSMutex.h"

// Lives on the waiting thread's stack for the extent of its Wait.
struct OSCond::Waiter {
    Waiter* fNext = nullptr;
    Platform::EventHandle fEvent;
    bool fReleased = false;  // set under fLock, before the event is set
};

OSCond::~OSCond() {
    Assert(fOldest == nullptr);
}

void OSCond::Release(Waiter* waiter) {
    // Called with fLock held: a waiter that times out and then finds itself released
    // knows its event has been set already.
    waiter->fReleased = true;
    const bool set = Platform::SetEvent(waiter->fEvent);
    Assert(set);
}

void OSCond::Unlink(Waiter* waiter) {
    Waiter* previous = nullptr;
    for (Waiter* scan = fOldest; scan != nullptr; previous = scan, scan = scan->fNext) {
        if (scan != waiter) continue;
        (previous != nullptr ? previous->fNext : fOldest) = scan->fNext;
        if (fNewest == scan) fNewest = previous;
        return;
    }
}

void OSCond::Signal() {
    fLock.Enter();
    if (fOldest == nullptr) {
        fKeptSignal = true;  // two signals keep one
    } else {
        Waiter* waiter = fOldest;
        Unlink(waiter);
        Release(waiter);
    }
    fLock.Leave();
}

void OSCond::Broadcast() {
    fLock.Enter();
    while (fOldest != nullptr) {
        Waiter* waiter = fOldest;
        Unlink(waiter);
        Release(waiter);
    }
    fLock.Leave();
}

void OSCond::Wait(OSMutex* mutex, int32_t timeoutMSec) {
    Waiter self;
    self.fEvent = Platform::ThreadWaitEvent();
    Assert(self.fEvent != nullptr);

    fLock.Enter();
    if (fKeptSignal) {
        // A signal given before this wait began: it returns at once.
        fKeptSignal = false;
        fLock.Leave();
        return;
    }
    (fNewest != nullptr ? fNewest->fNext : fOldest) = &self;
    fNewest = &self;
    fLock.Leave();
    mutex->Unlock();

    const uint32_t timeout = timeoutMSec <= 0 ? Platform::kInfinite : uint32_t(timeoutMSec);
    Platform::WaitResult result = Platform::WaitEvent(self.fEvent, timeout);
    Assert(result != Platform::WaitResult::kFailed);
    if (result != Platform::WaitResult::kSignaled) {
        fLock.Enter();
        const bool released = self.fReleased;
        if (!released) Unlink(&self);
        fLock.Leave();
        // Released just as the wait timed out: take the event's setting, so it is never
        // left set for this thread's next wait.
        if (released) Platform::WaitEvent(self.fEvent, Platform::kInfinite);
    }
    mutex->Lock();
}
