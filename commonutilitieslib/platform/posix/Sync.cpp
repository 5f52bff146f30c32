// Critical sections, thread ids and auto-reset events on POSIX.
#include <atomic>
#include <cerrno>
#include <ctime>
#include <new>

#include "platform/Platform.h"

namespace Platform {

thread_local constinit uint32_t tCurrentThreadId = 0;

uint32_t AssignCurrentThreadId() {
    // Non-zero and unique among live threads: a fresh number for every thread.
    static std::atomic<uint32_t> sNextId{1};
    uint32_t id;
    do {
        id = sNextId.fetch_add(1, std::memory_order_relaxed);
    } while (id == 0);
    tCurrentThreadId = id;
    return id;
}

namespace {

struct PosixEvent {
    pthread_mutex_t fMutex;
    pthread_cond_t fCond;
    bool fSet;
};

timespec DeadlineAfter(uint32_t timeoutMs) {
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += long(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

}  // namespace

EventHandle CreateAutoResetEvent() {
    auto* event = new (std::nothrow) PosixEvent;
    if (event == nullptr) return nullptr;
    pthread_mutex_init(&event->fMutex, nullptr);
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    // Timed waits measure against the monotonic clock, immune to wall-clock changes.
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&event->fCond, &attributes);
    pthread_condattr_destroy(&attributes);
    event->fSet = false;
    return event;
}

bool SetEvent(EventHandle handle) {
    auto* event = static_cast<PosixEvent*>(handle);
    if (event == nullptr) return false;
    pthread_mutex_lock(&event->fMutex);
    event->fSet = true;
    pthread_cond_signal(&event->fCond);
    pthread_mutex_unlock(&event->fMutex);
    return true;
}

WaitResult WaitEvent(EventHandle handle, uint32_t timeoutMs) {
    auto* event = static_cast<PosixEvent*>(handle);
    if (event == nullptr) return WaitResult::kFailed;
    const timespec deadline = DeadlineAfter(timeoutMs == kInfinite ? 0 : timeoutMs);
    pthread_mutex_lock(&event->fMutex);
    int result = 0;
    while (!event->fSet && result != ETIMEDOUT) {
        result = timeoutMs == kInfinite
                     ? pthread_cond_wait(&event->fCond, &event->fMutex)
                     : pthread_cond_timedwait(&event->fCond, &event->fMutex, &deadline);
    }
    const bool signaled = event->fSet;
    event->fSet = false;
    pthread_mutex_unlock(&event->fMutex);
    return signaled ? WaitResult::kSignaled : WaitResult::kTimeout;
}

bool CloseEvent(EventHandle handle) {
    auto* event = static_cast<PosixEvent*>(handle);
    if (event == nullptr) return false;
    pthread_cond_destroy(&event->fCond);
    pthread_mutex_destroy(&event->fMutex);
    delete event;
    return true;
}

namespace {

// Closed by the thread-local's destructor when the thread ends.
class ThreadEvent {
public:
    ~ThreadEvent() {
        if (fEvent != nullptr) CloseEvent(fEvent);
    }
    EventHandle Get() {
        if (fEvent == nullptr) fEvent = CreateAutoResetEvent();
        return fEvent;
    }

private:
    EventHandle fEvent = nullptr;
};

thread_local ThreadEvent tThreadEvent;

}  // namespace

EventHandle ThreadWaitEvent() {
    return tThreadEvent.Get();
}

}  // namespace Platform
