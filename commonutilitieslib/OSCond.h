/// @file
/// Condition variable built on platform auto-reset events.
#pragma once

#include <cstdint>

#include "platform/Platform.h"

class OSMutex;

/// Waiters re-examine their condition after every wait: a wait may return on a timeout or
/// on a signal that was given before it began.
///
/// Every waiter enters a list, with the thread's own auto-reset event, before it releases
/// the mutex. Signal releases the oldest waiter in the list and Broadcast every one, each
/// through its own event, so no waiter is missed however its release of the mutex and its
/// platform wait interleave with the signalling thread, and no waiter that arrives later
/// takes a wake-up meant for another. A Signal with no waiter is kept, once, for the next
/// Wait.
class OSCond {
public:
    OSCond() = default;
    ~OSCond();
    OSCond(const OSCond&) = delete;
    OSCond& operator=(const OSCond&) = delete;

    /// Releases the oldest waiter, or keeps the signal for the next Wait; any thread.
    void Signal();
    /// Releases every waiter; any thread.
    void Broadcast();

    /// Waits with `mutex` held once by the caller; a timeout of 0 or less waits without
    /// limit. The caller is not told whether the wait timed out.
    void Wait(OSMutex* mutex, int32_t timeoutMSec = 0);

private:
    struct Waiter;

    void Release(Waiter* waiter);  // with fLock held
    void Unlink(Waiter* waiter);   // with fLock held

    Platform::CriticalSection fLock;  // a leaf: guards the list and the kept signal
    Waiter* fOldest = nullptr;
    Waiter* fNewest = nullptr;
    bool fKeptSignal = false;
};
