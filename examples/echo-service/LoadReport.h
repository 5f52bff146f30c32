// The load client's words: a progress line each second and the final summary, as text or
// as JSON.
#pragma once

#include <cstdint>
#include <string>

#include "LoadClient.h"

// What the counters said at one moment.
struct LoadSnapshot {
    static LoadSnapshot Take(LoadStats& stats);

    uint64_t fTCPRoundTrips = 0;
    uint64_t fUDPRoundTrips = 0;
    uint64_t fErrors = 0;
};

// "[  3s of 10s] 41234 round trips/s (tcp 40000, udp 1234), errors 0"
std::string ProgressLine(const LoadSnapshot& now, const LoadSnapshot& before,
                         double intervalSeconds, uint32_t elapsedSeconds, uint32_t totalSeconds);

std::string SummaryText(LoadClient& client, double seconds);
std::string SummaryJSON(LoadClient& client, double seconds);
