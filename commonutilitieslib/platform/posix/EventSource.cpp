// The readiness source on POSIX: one epoll instance with one-shot registrations.
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

#include "platform/FaultInjection.h"
#include "platform/Platform.h"

namespace Platform {
namespace {

int EpollOf(EventSourceHandle source) {
    return int(source) - 1;
}

uint32_t EpollEventsFor(uint32_t mask) {
    uint32_t events = 0;
    if (mask & (kNotifyRead | kNotifyAccept | kNotifyClose)) events |= EPOLLIN | EPOLLRDHUP;
    if (mask & (kNotifyWrite | kNotifyConnect)) events |= EPOLLOUT;
    return events;
}

// Readiness taken from the kernel but not yet handed out. A source is waited on only by the
// thread that made it, so each thread keeps its own. Fetching many at once saves a system
// call per event under load; each is still handed out alone, as a window message would be.
// One-shot registrations are off from the moment they are fetched, and a stale one (its
// socket unwatched meanwhile) names a message number its owner no longer has, as a posted
// window message would.
struct PendingEvents {
    static constexpr int kCapacity = 64;
    int fEpoll = -1;
    int fCount = 0;
    int fNext = 0;
    epoll_event fEvents[kCapacity];
};
thread_local PendingEvents tPending;

}  // namespace

bool RegisterEventWindowClass(const char*, WindowProcedure) {
    return true;
}

EventSourceHandle CreateEventWindow(const char*, const char*) {
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    // Stored off by one, so that descriptor 0 is still a valid source.
    return epoll < 0 ? 0 : EventSourceHandle(epoll) + 1;
}

MessageStatus GetEventMessage(EventSourceHandle source, uint32_t* message, int32_t* socket) {
    PendingEvents& pending = tPending;
    const int epoll = EpollOf(source);
    if (pending.fEpoll != epoll || pending.fNext == pending.fCount) {
        pending.fEpoll = epoll;
        pending.fNext = pending.fCount = 0;
        const int count = epoll_wait(epoll, pending.fEvents, PendingEvents::kCapacity, -1);
        if (count <= 0)
            return count < 0 && errno != EINTR ? MessageStatus::kQuit : MessageStatus::kInterrupted;
        pending.fCount = count;
    }
    const epoll_event& event = pending.fEvents[pending.fNext++];
    *socket = int32_t(uint32_t(event.data.u64));
    *message = uint32_t(event.data.u64 >> 32);
    return MessageStatus::kMessage;
}

int SelectSocketEvents(EventSourceHandle source, int32_t socket, uint32_t message, uint32_t mask) {
    CU_FAULT_POINT(kSelectEvents);
    const uint32_t events = EpollEventsFor(mask);
    epoll_event event{};
    // With no events the registration stays but reports nothing: switched off.
    event.events = events != 0 ? events | EPOLLONESHOT : 0;
    event.data.u64 = (uint64_t(message) << 32) | uint32_t(socket);
    const int epoll = EpollOf(source);
    if (epoll_ctl(epoll, EPOLL_CTL_MOD, socket, &event) == 0) return 0;
    if (errno != ENOENT) return -1;
    if (events == 0) return 0;  // never registered: already off
    return epoll_ctl(epoll, EPOLL_CTL_ADD, socket, &event) == 0 ? 0 : -1;
}

void DisarmDeliveredSocket(EventSourceHandle, int32_t) {
    // One-shot registrations switch themselves off on delivery.
}

}  // namespace Platform
