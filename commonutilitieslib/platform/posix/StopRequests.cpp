// Stop requests on POSIX: SIGINT and SIGTERM.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "platform/Platform.h"

namespace Platform {
namespace {

// Written by the signal handler: lock-free atomics are safe there.
std::atomic<bool> sStopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);
// A pipe whose read end turns readable, for good, at the first request: waiters block on
// it, and a signal handler may write to it.
int sPipe[2] = {-1, -1};
std::once_flag sPipeMade;

void MakePipe() {
    if (pipe(sPipe) != 0) return;
    for (const int end : sPipe) {
        fcntl(end, F_SETFD, FD_CLOEXEC);
        fcntl(end, F_SETFL, O_NONBLOCK);
    }
}

void NoteStopRequest(int) {
    if (sStopRequested.exchange(true)) return;
    const int saved = errno;
    if (sPipe[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = write(sPipe[1], &byte, 1);
    }
    errno = saved;
}

}  // namespace

bool WatchStopRequests() {
    std::call_once(sPipeMade, MakePipe);
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

void RequestStop() {
    std::call_once(sPipeMade, MakePipe);
    NoteStopRequest(0);
}

bool WaitForStopRequest(uint32_t timeoutMSec) {
    std::call_once(sPipeMade, MakePipe);
    if (sPipe[0] < 0) return StopRequested();
    pollfd readable{sPipe[0], POLLIN, 0};
    const int timeout =
        timeoutMSec == kInfinite || timeoutMSec > 0x7FFFFFFF ? -1 : int(timeoutMSec);
    // Interrupted, by the stop's own signal among others: the flag says whether it came.
    while (!StopRequested() && poll(&readable, 1, timeout) < 0 && errno == EINTR) {
    }
    return StopRequested();
}

}  // namespace Platform
