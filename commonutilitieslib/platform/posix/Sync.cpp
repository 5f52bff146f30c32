// Critical sections, thread ids and auto-reset events on POSIX.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

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

// An auto-reset event on one futex word: bit 0 is "set", the bits above count the threads
// waiting. Setting is one atomic operation on the word, followed at most by a wake-up
// call, so a setter never touches the event's memory once a waiter may have taken the
// setting and gone on (a thread's own event goes with the thread's storage when it ends).
struct PosixEvent {
    std::atomic<uint32_t> fWord{0};
};

constexpr uint32_t kSetBit = 1;
constexpr uint32_t kOneWaiter = 2;

long Futex(std::atomic<uint32_t>* word, int operation, uint32_t value, const timespec* timeout) {
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), operation | FUTEX_PRIVATE_FLAG,
                   value, timeout, nullptr, 0);
}

int64_t NowNanoseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Takes the setting if there is one, leaving the waiters as they are.
bool TakeSetting(std::atomic<uint32_t>& word, uint32_t waiterShare) {
    uint32_t seen = word.load(std::memory_order_acquire);
    while ((seen & kSetBit) != 0) {
        if (word.compare_exchange_weak(seen, (seen & ~kSetBit) - waiterShare,
                                       std::memory_order_acq_rel))
            return true;
    }
    return false;
}

}  // namespace

EventHandle CreateAutoResetEvent() {
    return new (std::nothrow) PosixEvent;
}

bool SetEvent(EventHandle handle) {
    auto* event = static_cast<PosixEvent*>(handle);
    if (event == nullptr) return false;
    const uint32_t before = event->fWord.fetch_or(kSetBit, std::memory_order_acq_rel);
    if ((before & kSetBit) == 0 && before >= kOneWaiter)
        Futex(&event->fWord, FUTEX_WAKE, 1, nullptr);
    return true;
}

WaitResult WaitEvent(EventHandle handle, uint32_t timeoutMs) {
    auto* event = static_cast<PosixEvent*>(handle);
    if (event == nullptr) return WaitResult::kFailed;
    if (TakeSetting(event->fWord, 0)) return WaitResult::kSignaled;
    if (timeoutMs == 0) return WaitResult::kTimeout;

    const int64_t deadline = NowNanoseconds() + int64_t(timeoutMs) * 1000000;
    event->fWord.fetch_add(kOneWaiter, std::memory_order_acq_rel);
    for (;;) {
        if (TakeSetting(event->fWord, kOneWaiter)) return WaitResult::kSignaled;
        const uint32_t seen = event->fWord.load(std::memory_order_acquire);
        if ((seen & kSetBit) != 0) continue;
        timespec remaining;
        const timespec* limit = nullptr;
        if (timeoutMs != kInfinite) {
            const int64_t left = deadline - NowNanoseconds();
            if (left <= 0) break;
            remaining = {time_t(left / 1000000000), long(left % 1000000000)};
            limit = &remaining;
        }
        // Sleeps only while the word still reads as seen; any change wakes it to look again.
        Futex(&event->fWord, FUTEX_WAIT, seen, limit);
    }
    // Timed out. A setting that comes after this is kept for the next wait.
    if (TakeSetting(event->fWord, kOneWaiter)) return WaitResult::kSignaled;
    event->fWord.fetch_sub(kOneWaiter, std::memory_order_acq_rel);
    return WaitResult::kTimeout;
}

bool CloseEvent(EventHandle handle) {
    auto* event = static_cast<PosixEvent*>(handle);
    if (event == nullptr) return false;
    delete event;
    return true;
}

namespace {

// Kept in the thread's own storage, with nothing to destroy: it is there for the whole life
// of the thread, so a wait made while the thread's thread-local objects are being destroyed
// (or, on the main thread, in a static object's destructor after main returns) still works.
// Another thread sets it only while its owner is waiting in it.
thread_local constinit PosixEvent tThreadEvent;

}  // namespace

EventHandle ThreadWaitEvent() {
    return &tThreadEvent;
}

}  // namespace Platform
