// What the load client has seen so far, counted by its tasks on any thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "LatencyHistogram.h"

struct LoadStats {
    void Count(std::atomic<uint64_t>& counter, uint64_t amount = 1) {
        counter.fetch_add(amount, std::memory_order_relaxed);
    }

    std::atomic<uint64_t> fTCPRoundTrips{0};
    std::atomic<uint64_t> fUDPRoundTrips{0};
    std::atomic<uint64_t> fBytesVerified{0};  // echoed bytes found equal to what was sent
    // Errors: an echoed byte that differs from the one sent, a datagram that is not a
    // reply to one in flight, a connection that could not be made or ended early.
    std::atomic<uint64_t> fCorrupted{0};
    std::atomic<uint64_t> fStrayDatagrams{0};
    std::atomic<uint64_t> fConnectFailures{0};
    std::atomic<uint64_t> fClosedEarly{0};
    std::atomic<uint64_t> fSocketErrors{0};
    // Datagrams with no reply within the loss timeout (sent again with a new number), and
    // replies that came after it.
    std::atomic<uint64_t> fLostDatagrams{0};
    std::atomic<uint64_t> fLateDatagrams{0};
    std::atomic<uint32_t> fConnected{0};
    LatencyHistogram fTCPLatency;
    LatencyHistogram fUDPLatency;

    uint64_t Errors() const {
        return fCorrupted.load() + fStrayDatagrams.load() + fConnectFailures.load() +
               fClosedEarly.load() + fSocketErrors.load();
    }
    uint64_t RoundTrips() const { return fTCPRoundTrips.load() + fUDPRoundTrips.load(); }
};
