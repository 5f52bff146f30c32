// What the POSIX readiness source knows of each registered socket: one word per socket,
// changed with compare-and-swap by the event loop (edges) and by the socket's owner
// (armings and reads).
//
// Every socket is registered with epoll once, edge-triggered. The one-shot contract lives
// here: an edge that finds its socket armed is delivered and disarms it; any readable edge
// marks the socket "may be readable", since an edge only reports new arrivals and what
// stays unread makes no new one. Arming a socket that may be readable delivers it at once,
// through the loop's posted list; where its end or urgent data was reported, it is
// registered again instead (EPOLL_CTL_MOD), and the kernel reports it only if it is
// readable now. Everything else re-arms with one compare-and-swap and no system call.
//
// "May be readable" is cleared only by a read that found the socket empty with no edge
// taken since it began (the generation tells): a read that would block, a batch of
// datagrams that came back short, or a stream read that came back short, unless urgent
// data or the peer's end was reported (a read stops short before either). Such a read
// also marks the socket "known empty", so that the next read answers "would block"
// without a system call, until the next edge.
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
constexpr Word kWritesWatched = Word(1) << 35;  // registered for writability as well
constexpr Word kStream = Word(1) << 36;
constexpr Word kKnownEmpty = Word(1) << 37;    // reads answer "would block" until an edge
constexpr Word kMayStopShort = Word(1) << 38;  // urgent data or the peer's end reported
constexpr int kGenerationShift = 40;           // advanced by every edge taken
constexpr Word kGenerationStep = Word(1) << kGenerationShift;
constexpr Word kGenerationMask = ~(kGenerationStep - 1);

namespace Layout {
constexpr Word kFields[] = {kMessageMask,   kArmedRead,     kArmedWrite,
                            kMayBeReadable, kWritesWatched, kStream,
                            kKnownEmpty,    kMayStopShort,  kGenerationMask};
constexpr bool FieldsAreDisjoint() {
    Word seen = 0;
    for (const Word field : kFields) {
        if ((seen & field) != 0) return false;
        seen |= field;
    }
    return true;
}
}  // namespace Layout
static_assert(Layout::FieldsAreDisjoint(), "every bit of the word belongs to one field");

inline uint32_t MessageOf(Word word) {
    return uint32_t(word & kMessageMask);
}

// The socket's word, made on first use when asked to; null for a socket beyond the table
// or, without `create`, one never registered.
std::atomic<Word>* Slot(int socket, bool create);

// The word as it stands, 0 (or kStream alone) for a socket never registered: taken before a
// read, so that a read that finds the socket empty can tell whether an edge came meanwhile.
inline Word Load(int socket) {
    std::atomic<Word>* slot = Slot(socket, false);
    return slot != nullptr ? slot->load(std::memory_order_acquire) : 0;
}

// Clears what an earlier socket with this handle left: called when a handle is made or
// closed, so that a new socket never inherits an old one's state. A new stream socket is
// noted as one (kStream), so that registering it needs not ask the kernel its type.
void Forget(int socket, bool stream = false);

// What the owner's read or accept, begun when the word read `before`, found: `bytes` of
// `asked`, or nothing because it would have blocked.
void NoteRead(int socket, Word before, bool wouldBlock, uint32_t bytes, uint32_t asked);

}  // namespace Platform::Readiness
