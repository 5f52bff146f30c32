// What an echo service has done so far, counted by its tasks on any thread.
#pragma once

#include <atomic>
#include <cstdint>

struct EchoStats {
    // Bytes held in connection buffers, read but not yet sent back; the peak is the most
    // ever held at once.
    void AddBuffered(int64_t bytes) {
        const int64_t now = fBufferedBytes.fetch_add(bytes, std::memory_order_relaxed) + bytes;
        int64_t peak = fPeakBufferedBytes.load(std::memory_order_relaxed);
        while (now > peak &&
               !fPeakBufferedBytes.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
        }
    }
    void RemoveBuffered(int64_t bytes) {
        fBufferedBytes.fetch_sub(bytes, std::memory_order_relaxed);
    }

    std::atomic<uint64_t> fConnectionsServed{0};   // accepted, and their task started
    std::atomic<uint64_t> fConnectionsRefused{0};  // turned away at the connection limit
    // Closed at once by the listener: no message number was free for them.
    std::atomic<uint64_t> fConnectionsTurnedAway{0};
    std::atomic<uint32_t> fOpenConnections{0};
    std::atomic<uint64_t> fBytesEchoed{0};  // TCP bytes sent back
    std::atomic<uint64_t> fDatagramsEchoed{0};
    std::atomic<uint64_t> fDatagramBytesEchoed{0};
    std::atomic<uint64_t> fDatagramErrors{0};  // receives or sends that failed
    std::atomic<int64_t> fBufferedBytes{0};
    std::atomic<int64_t> fPeakBufferedBytes{0};
};
