// Stop requests on POSIX: SIGINT and SIGTERM.
#include <signal.h>

#include <atomic>

#include "platform/Platform.h"

namespace Platform {
namespace {

// Written by the signal handler: a lock-free atomic is safe there.
std::atomic<bool> sStopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void NoteStopRequest(int) {
    sStopRequested.store(true, std::memory_order_relaxed);
}

}  // namespace

bool WatchStopRequests() {
    struct sigaction action {};
    action.sa_handler = NoteStopRequest;
    sigemptyset(&action.sa_mask);
    // The handler is used once: a second Ctrl-C ends a process that is slow to stop.
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

bool StopRequested() {
    return sStopRequested.load(std::memory_order_relaxed);
}

}  // namespace Platform
