// What the POSIX readiness source knows of each registered socket, in one word per socket
// that the event loop and the socket's owner change with compare-and-swap.
//
// Every socket is registered with epoll once, edge-triggered, and the one-shot arming is
// kept here: an edge that finds its socket armed is delivered and disarms it; one that
// does not is remembered, so that arming a socket that is already readable delivers at
// once. A socket stays "may be readable" after a delivery until its owner's read finds it
// empty, since an edge only reports new arrivals: data left unread makes no new edge.
//
// A socket that keeps receiving while its owner reads it dry (datagrams arriving in a
// stream) leaves edges behind for data already taken, each then delivering an empty run.
// Such a socket is registered one-shot for a while instead: the kernel reports it once and
// then keeps quiet until it is armed again, at the price of a system call per arming.
#pragma once

#include <atomic>
#include <cstdint>

namespace Platform::Readiness {

using Word = uint64_t;

constexpr Word kMessageMask = 0xFFFFFFFF;  // 0: not registered
constexpr Word kArmedRead = Word(1) << 32;
constexpr Word kArmedWrite = Word(1) << 33;
constexpr Word kArmedMask = kArmedRead | kArmedWrite;
constexpr Word kMayBeReadable = Word(1) << 34;
constexpr Word kPeerGone = Word(1) << 35;       // closed, reset or failed: stays readable
constexpr Word kStream = Word(1) << 36;         // a short read empties it
constexpr Word kWritesWatched = Word(1) << 37;  // registered for writability as well
constexpr Word kOneShot = Word(1) << 38;        // registered one-shot
constexpr Word kFired = Word(1) << 39;          // one-shot, and reported since registered
constexpr Word kFresh = Word(1) << 40;          // delivered, and not read from since
constexpr Word kEmptyDelivery = Word(1) << 47;  // a delivery's first read found nothing
constexpr int kOneShotArmsShift = 41;           // armings since it went one-shot
constexpr Word kOneShotArmsMask = Word(0x7F) << kOneShotArmsShift;
constexpr int kGenerationShift = 48;  // advanced by every edge taken
constexpr Word kGenerationStep = Word(1) << kGenerationShift;
constexpr Word kGenerationMask = ~(kGenerationStep - 1);

inline uint32_t MessageOf(Word word) {
    return uint32_t(word & kMessageMask);
}

// The socket's word, made on first use when asked to; null for a socket beyond the table
// or, without `create`, one never registered.
std::atomic<Word>* Slot(int socket, bool create);

// The word as it stands, 0 for a socket never registered: taken before a read, so that a
// read that finds the socket empty can tell whether an edge came meanwhile.
inline Word Load(int socket) {
    std::atomic<Word>* slot = Slot(socket, false);
    return slot != nullptr ? slot->load(std::memory_order_acquire) : 0;
}

// What the owner's read or accept, begun when the word read `before`, found: data
// (`bytes` > 0, of `asked`), or nothing (it would have blocked). A read that would have
// blocked, or a stream read that came back short, leaves the socket no longer "may be
// readable", unless an edge was taken since, which may stand for data after the read.
void NoteRead(int socket, Word before, bool wouldBlock, uint32_t bytes, uint32_t asked);

}  // namespace Platform::Readiness
