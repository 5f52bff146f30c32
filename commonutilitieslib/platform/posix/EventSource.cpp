// The readiness source on POSIX: one epoll instance, every socket registered once and
// edge-triggered, the one-shot arming kept in user space (Readiness.h). Re-arming is a
// compare-and-swap, not a system call.
#include <pthread.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <vector>

#include "Readiness.h"
#include "platform/FaultInjection.h"
#include "platform/Platform.h"

namespace Platform {
namespace {

using namespace Readiness;

constexpr uint32_t kReadEdges = EPOLLIN | EPOLLPRI | EPOLLRDHUP | EPOLLHUP | EPOLLERR;
constexpr uint32_t kWriteEdges = EPOLLOUT | EPOLLHUP | EPOLLERR;
constexpr uint32_t kGoneEdges = EPOLLRDHUP | EPOLLHUP | EPOLLERR;

// Event data: the message number above the socket, as a posted window message carries them.
uint64_t EventData(int32_t socket, uint32_t message) {
    return (uint64_t(message) << 32) | uint32_t(socket);
}
constexpr uint64_t kWakeData = ~uint64_t(0);  // the wake-up descriptor's; no socket's

// The process's one source. Deliveries made by arming threads, for sockets that were ready
// already, wait in a list for the loop, which a write to the wake-up descriptor wakes when
// it sleeps in epoll_wait.
struct Source {
    static constexpr int kBatch = 64;

    int fEpoll = -1;
    int fWake = -1;  // an eventfd, edge-triggered: every write is one edge, and it is never read
    std::atomic<bool> fLoopAsleep{false};

    CriticalSection fLock;  // guards fMadeAtArming
    std::vector<uint64_t> fMadeAtArming;
    std::atomic<uint32_t> fMadeAtArmingCount{0};

    // The loop thread's alone. Readiness taken from the kernel many at a time saves a
    // system call per event under load; each is still handed out alone.
    std::vector<uint64_t> fTaking;
    size_t fTakingNext = 0;
    epoll_event fEvents[kBatch];
    int fCount = 0;
    int fNext = 0;
};

Source& SourceOf(EventSourceHandle handle) {
    return *reinterpret_cast<Source*>(handle);
}

bool IsStream(int32_t socket) {
    int type = 0;
    socklen_t length = sizeof(type);
    return getsockopt(socket, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_STREAM;
}

// Armings a busy socket stays one-shot before edge-triggering is tried again.
constexpr Word kOneShotArms = 64;

// Edge-triggered, a socket is registered for what it may be armed for, so that every edge
// is noted. One-shot, only for what it is armed for now: an edge for anything else would
// switch it off in the kernel.
uint32_t RegisteredEvents(Word word) {
    if ((word & kOneShot) == 0) {
        const uint32_t writes = (word & kWritesWatched) != 0 ? uint32_t(EPOLLOUT) : 0;
        return EPOLLIN | EPOLLRDHUP | EPOLLET | writes;
    }
    uint32_t events = EPOLLET | EPOLLONESHOT;
    if ((word & kArmedRead) != 0) events |= EPOLLIN | EPOLLRDHUP;
    if ((word & kArmedWrite) != 0) events |= EPOLLOUT;
    return events;
}

bool TakeFrom(uint64_t data, uint32_t* message, int32_t* socket) {
    *socket = int32_t(uint32_t(data));
    *message = uint32_t(data >> 32);
    return true;
}

bool TakeMadeAtArming(Source& source, uint32_t* message, int32_t* socket) {
    if (source.fTakingNext == source.fTaking.size()) {
        if (source.fMadeAtArmingCount.load(std::memory_order_acquire) == 0) return false;
        source.fTaking.clear();
        source.fTakingNext = 0;
        source.fLock.Enter();
        source.fTaking.swap(source.fMadeAtArming);
        source.fMadeAtArmingCount.store(0, std::memory_order_relaxed);
        source.fLock.Leave();
        if (source.fTaking.empty()) return false;
    }
    return TakeFrom(source.fTaking[source.fTakingNext++], message, socket);
}

void MakeAtArming(Source& source, uint64_t data) {
    source.fLock.Enter();
    source.fMadeAtArming.push_back(data);
    source.fMadeAtArmingCount.fetch_add(1, std::memory_order_seq_cst);
    source.fLock.Leave();
    // One write wakes the loop once; a loop that is awake finds the list before it sleeps.
    if (source.fLoopAsleep.load(std::memory_order_seq_cst) &&
        source.fLoopAsleep.exchange(false, std::memory_order_seq_cst)) {
        const uint64_t one = 1;
        ssize_t written;
        do {
            written = write(source.fWake, &one, sizeof(one));
        } while (written < 0 && errno == EINTR);
    }
}

// One edge of one socket: delivered when it finds the socket armed for it, else noted.
bool TakeEdge(const epoll_event& event, uint32_t* message, int32_t* socket) {
    const int32_t handle = int32_t(uint32_t(event.data.u64));
    const uint32_t number = uint32_t(event.data.u64 >> 32);
    std::atomic<Word>* slot = Slot(handle, false);
    if (slot == nullptr) return false;
    const bool readable = (event.events & kReadEdges) != 0;
    const bool writable = (event.events & kWriteEdges) != 0;
    Word word = slot->load(std::memory_order_acquire);
    Word next;
    bool deliver;
    do {
        // Left from a socket closed since, or registered under an earlier number: the
        // edge changes nothing for the socket that has the handle now.
        if (MessageOf(word) != number) return false;
        next = word + kGenerationStep;
        if (readable) next |= kMayBeReadable;
        if ((event.events & kGoneEdges) != 0) next |= kPeerGone;
        deliver = ((word & kArmedRead) != 0 && readable) || ((word & kArmedWrite) != 0 && writable);
        if (deliver) next = (next & ~kArmedMask) | kFresh;
        if ((word & kOneShot) != 0) next |= kFired;
    } while (!slot->compare_exchange_weak(word, next, std::memory_order_acq_rel,
                                          std::memory_order_acquire));
    if (!deliver) return false;
    return TakeFrom(event.data.u64, message, socket);
}

}  // namespace

bool RegisterEventWindowClass(const char*, WindowProcedure) {
    return true;
}

EventSourceHandle CreateEventWindow(const char*, const char*) {
    auto* source = new (std::nothrow) Source;
    if (source == nullptr) return 0;
    source->fEpoll = epoll_create1(EPOLL_CLOEXEC);
    source->fWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN | EPOLLET;
    event.data.u64 = kWakeData;
    if (source->fEpoll < 0 || source->fWake < 0 ||
        epoll_ctl(source->fEpoll, EPOLL_CTL_ADD, source->fWake, &event) != 0) {
        if (source->fEpoll >= 0) close(source->fEpoll);
        if (source->fWake >= 0) close(source->fWake);
        delete source;
        return 0;
    }
    return EventSourceHandle(source);
}

MessageStatus GetEventMessage(EventSourceHandle handle, bool wait, uint32_t* message,
                              int32_t* socket) {
    Source& source = SourceOf(handle);
    for (;;) {
        if (TakeMadeAtArming(source, message, socket)) return MessageStatus::kMessage;
        while (source.fNext < source.fCount) {
            const epoll_event& event = source.fEvents[source.fNext++];
            if (event.data.u64 != kWakeData && TakeEdge(event, message, socket))
                return MessageStatus::kMessage;
        }
        if (!wait) return MessageStatus::kNone;
        CU_FAULT_POINT_RETURNING(kWaitEvents, MessageStatus::kFailed);
        // Marked asleep before the last look at the list, so that an arming thread either
        // sees the mark and wakes the loop, or its delivery is seen here.
        source.fLoopAsleep.store(true, std::memory_order_seq_cst);
        if (source.fMadeAtArmingCount.load(std::memory_order_seq_cst) != 0) {
            source.fLoopAsleep.store(false, std::memory_order_relaxed);
            continue;
        }
        const int count = epoll_wait(source.fEpoll, source.fEvents, Source::kBatch, -1);
        source.fLoopAsleep.store(false, std::memory_order_relaxed);
        if (count < 0) return errno == EINTR ? MessageStatus::kInterrupted : MessageStatus::kFailed;
        source.fCount = count;
        source.fNext = 0;
    }
}

int SelectSocketEvents(EventSourceHandle handle, int32_t socket, uint32_t message, uint32_t mask) {
    CU_FAULT_POINT(kSelectEvents);
    Source& source = SourceOf(handle);
    std::atomic<Word>* slot = message != 0 ? Slot(socket, true) : nullptr;
    if (slot == nullptr) {
        errno = message != 0 ? EMFILE : EINVAL;
        return -1;
    }
    Word armed = 0;
    if (mask & (kNotifyRead | kNotifyAccept | kNotifyClose)) armed |= kArmedRead;
    if (mask & (kNotifyWrite | kNotifyConnect)) armed |= kArmedWrite;

    Word word = slot->load(std::memory_order_acquire);
    if (MessageOf(word) != message) {
        word = message | armed | (IsStream(socket) ? kStream : 0);
        if ((armed & kArmedWrite) != 0) word |= kWritesWatched;
        // The word first, so that every edge the registration reports finds it.
        slot->store(word, std::memory_order_release);
        epoll_event event{};
        event.events = RegisteredEvents(word);
        event.data.u64 = EventData(socket, message);
        if (epoll_ctl(source.fEpoll, EPOLL_CTL_ADD, socket, &event) == 0) return 0;
        // Still registered under an earlier number: the new data replaces it.
        if (errno == EEXIST && epoll_ctl(source.fEpoll, EPOLL_CTL_MOD, socket, &event) == 0)
            return 0;
        slot->store(0, std::memory_order_release);
        return -1;
    }

    // Re-arming: a socket that may be readable already is delivered at once, or, one-shot,
    // registered again.
    Word next;
    bool now, reregister;
    do {
        const Word arms = ((word & kOneShotArmsMask) >> kOneShotArmsShift) + 1;
        const bool oneShot =
            (word & kOneShot) != 0 ? arms < kOneShotArms : (word & kEmptyDelivery) != 0;
        // One-shot, registering again reports what is ready already: the kernel tells
        // whether a socket that may be readable is, instead of a delivery on a guess.
        const bool askKernel = oneShot && (armed & kArmedRead) != 0 &&
                               (word & kMayBeReadable) != 0 && (word & kPeerGone) == 0;
        now = !askKernel && (armed & kArmedRead) != 0 && (word & (kMayBeReadable | kPeerGone)) != 0;
        next =
            (word & ~(kArmedMask | kWritesWatched | kFired | kEmptyDelivery | kOneShotArmsMask)) |
            (now ? kFresh : armed);
        if ((armed & kArmedWrite) != 0) next |= kWritesWatched;
        // Writability is registered only while asked for (datagram sockets would otherwise
        // report every send), and registering it again reports a socket writable already.
        reregister = (armed & kArmedWrite) != 0 || (word & kWritesWatched) != 0;
        if ((word & kOneShot) != 0) {
            if (!oneShot) {
                next &= ~kOneShot;  // quiet for a while: try edges alone again
                reregister = true;
            } else if (now) {
                // Delivered without the kernel: it stays as it is until the next arming.
                next |= (arms << kOneShotArmsShift) | (word & kFired);
            } else {
                next |= arms << kOneShotArmsShift;
                // Reported since it was registered, it is off; otherwise it is still
                // registered for what it was armed for.
                reregister |= askKernel || (word & kFired) != 0 || (word & kArmedMask) != armed;
            }
        } else if ((word & kEmptyDelivery) != 0) {
            next |= kOneShot;
            reregister = true;
        }
    } while (!slot->compare_exchange_weak(word, next, std::memory_order_acq_rel,
                                          std::memory_order_acquire));
    if (now) MakeAtArming(source, EventData(socket, message));
    // Registering again also reports what is ready already.
    if (reregister) {
        epoll_event event{};
        event.events = RegisteredEvents(next);
        event.data.u64 = EventData(socket, message);
        if (epoll_ctl(source.fEpoll, EPOLL_CTL_MOD, socket, &event) != 0) return -1;
    }
    return 0;
}

void DisarmDeliveredSocket(EventSourceHandle, int32_t) {
    // The arming was used up when its edge was taken.
}

void ForgetSocket(int32_t socket) {
    // Closing the handle ends its registration; the word goes with it.
    if (std::atomic<Word>* slot = Slot(socket, false)) slot->store(0, std::memory_order_release);
}

bool PostEventMessage(EventSourceHandle handle, uint32_t message, int32_t socket) {
    MakeAtArming(SourceOf(handle), EventData(socket, message));
    return true;
}

void DeferWakeUps() {
    // A batch thread's wake-up never preempts; it runs when the running thread waits.
    sched_param parameters{};
    pthread_setschedparam(pthread_self(), SCHED_BATCH, &parameters);
}

}  // namespace Platform
