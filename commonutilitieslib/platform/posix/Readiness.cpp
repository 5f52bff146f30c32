#include "Readiness.h"

#include <new>

namespace Platform::Readiness {
namespace {

// Two levels, so that descriptors can be large while memory follows the ones in use. A
// chunk is made on first use and kept for the life of the process.
constexpr int kChunkBits = 12;
constexpr int kChunkSize = 1 << kChunkBits;
constexpr int kChunks = 4096;

struct Chunk {
    std::atomic<Word> fWords[kChunkSize] = {};
};
std::atomic<Chunk*> sChunks[kChunks];

}  // namespace

std::atomic<Word>* Slot(int socket, bool create) {
    if (socket < 0 || (socket >> kChunkBits) >= kChunks) return nullptr;
    std::atomic<Chunk*>& entry = sChunks[socket >> kChunkBits];
    Chunk* chunk = entry.load(std::memory_order_acquire);
    if (chunk == nullptr) {
        if (!create) return nullptr;
        Chunk* made = new (std::nothrow) Chunk;
        if (made == nullptr) return nullptr;
        if (entry.compare_exchange_strong(chunk, made, std::memory_order_acq_rel)) {
            chunk = made;
        } else {
            delete made;  // another thread made it first
        }
    }
    return &chunk->fWords[socket & (kChunkSize - 1)];
}

void Forget(int socket, bool stream) {
    if (std::atomic<Word>* slot = Slot(socket, stream))
        slot->store(stream ? kStream : 0, std::memory_order_release);
}

void NoteRead(int socket, Word before, bool wouldBlock, uint32_t bytes, uint32_t asked) {
    // A datagram socket's short read is one datagram; others may wait behind it.
    const bool shortStreamRead = (before & (kStream | kMayStopShort)) == kStream && bytes < asked;
    if (MessageOf(before) == 0 || !(wouldBlock || shortStreamRead)) return;
    std::atomic<Word>* slot = Slot(socket, false);
    if (slot == nullptr) return;
    constexpr Word kSameSocketAndEdges = kGenerationMask | kMessageMask;
    Word word = slot->load(std::memory_order_acquire);
    Word next;
    do {
        // An edge taken since the read began may stand for data that came after it.
        if ((word & kSameSocketAndEdges) != (before & kSameSocketAndEdges)) return;
        next = (word & ~kMayBeReadable) | kKnownEmpty;
        if (wouldBlock) next &= ~kMayStopShort;  // past any mark, and the peer is still there
        if (next == word) return;
    } while (!slot->compare_exchange_weak(word, next, std::memory_order_acq_rel,
                                          std::memory_order_acquire));
}

}  // namespace Platform::Readiness
