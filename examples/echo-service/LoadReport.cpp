#include "LoadReport.h"

#include <cstdio>

namespace {

double PerSecond(uint64_t count, double seconds) {
    return seconds > 0 ? count / seconds : 0;
}

// Median and 99th percentile of both protocols together.
void CombinedLatency(LoadStats& stats, uint64_t* median, uint64_t* p99) {
    static LatencyHistogram combined;  // large: kept out of the stack, used by one thread
    combined.Reset();
    combined.Add(stats.fTCPLatency);
    combined.Add(stats.fUDPLatency);
    *median = combined.Percentile(0.5);
    *p99 = combined.Percentile(0.99);
}

}  // namespace

LoadSnapshot LoadSnapshot::Take(LoadStats& stats) {
    LoadSnapshot snapshot;
    snapshot.fTCPRoundTrips = stats.fTCPRoundTrips.load();
    snapshot.fUDPRoundTrips = stats.fUDPRoundTrips.load();
    snapshot.fErrors = stats.Errors();
    return snapshot;
}

std::string ProgressLine(const LoadSnapshot& now, const LoadSnapshot& before,
                         double intervalSeconds, uint32_t elapsedSeconds, uint32_t totalSeconds) {
    const uint64_t tcp = now.fTCPRoundTrips - before.fTCPRoundTrips;
    const uint64_t udp = now.fUDPRoundTrips - before.fUDPRoundTrips;
    char line[160];
    std::snprintf(line, sizeof(line),
                  "[%3us of %us] %8.0f round trips/s (tcp %.0f, udp %.0f), errors %llu",
                  elapsedSeconds, totalSeconds, PerSecond(tcp + udp, intervalSeconds),
                  PerSecond(tcp, intervalSeconds), PerSecond(udp, intervalSeconds),
                  (unsigned long long)now.fErrors);
    return line;
}

std::string SummaryText(LoadClient& client, double seconds) {
    LoadStats& stats = client.Stats();
    const LoadConfig& config = client.Config();
    uint64_t median = 0;
    uint64_t p99 = 0;
    CombinedLatency(stats, &median, &p99);
    const uint64_t tcp = stats.fTCPRoundTrips.load();
    const uint64_t udp = stats.fUDPRoundTrips.load();
    char text[1024];
    std::snprintf(
        text, sizeof(text),
        "load summary after %.1f s: %u connections x %u bytes, %u idle, %u datagrams x %u "
        "bytes in flight\n"
        "  round trips      %llu (%.0f/s): tcp %llu (%.0f/s), udp %llu (%.0f/s)\n"
        "  latency          median %llu us, 99th percentile %llu us (tcp %llu/%llu us, "
        "udp %llu/%llu us)\n"
        "  bytes verified   %llu\n"
        "  errors           %llu (corrupted %llu, stray %llu, connect failures %llu, "
        "closed early %llu, socket errors %llu)\n"
        "  datagrams lost   %llu (late replies %llu)\n",
        seconds, config.fConnections, config.fMessageSize, config.fIdleConnections, config.fWindow,
        config.fDatagramSize, (unsigned long long)(tcp + udp), PerSecond(tcp + udp, seconds),
        (unsigned long long)tcp, PerSecond(tcp, seconds), (unsigned long long)udp,
        PerSecond(udp, seconds), (unsigned long long)median, (unsigned long long)p99,
        (unsigned long long)stats.fTCPLatency.Percentile(0.5),
        (unsigned long long)stats.fTCPLatency.Percentile(0.99),
        (unsigned long long)stats.fUDPLatency.Percentile(0.5),
        (unsigned long long)stats.fUDPLatency.Percentile(0.99),
        (unsigned long long)stats.fBytesVerified.load(), (unsigned long long)stats.Errors(),
        (unsigned long long)stats.fCorrupted.load(),
        (unsigned long long)stats.fStrayDatagrams.load(),
        (unsigned long long)stats.fConnectFailures.load(),
        (unsigned long long)stats.fClosedEarly.load(),
        (unsigned long long)stats.fSocketErrors.load(),
        (unsigned long long)stats.fLostDatagrams.load(),
        (unsigned long long)stats.fLateDatagrams.load());
    return text;
}

std::string SummaryJSON(LoadClient& client, double seconds) {
    LoadStats& stats = client.Stats();
    const LoadConfig& config = client.Config();
    uint64_t median = 0;
    uint64_t p99 = 0;
    CombinedLatency(stats, &median, &p99);
    const uint64_t tcp = stats.fTCPRoundTrips.load();
    const uint64_t udp = stats.fUDPRoundTrips.load();
    char text[1536];
    std::snprintf(
        text, sizeof(text),
        "{\"seconds\": %.3f, \"connections\": %u, \"message_size\": %u, "
        "\"idle_connections\": %u, \"window\": %u, \"datagram_size\": %u, "
        "\"round_trips\": %llu, \"round_trips_per_second\": %.1f, "
        "\"median_latency_us\": %llu, \"p99_latency_us\": %llu, "
        "\"tcp\": {\"round_trips\": %llu, \"round_trips_per_second\": %.1f, "
        "\"median_latency_us\": %llu, \"p99_latency_us\": %llu}, "
        "\"udp\": {\"round_trips\": %llu, \"round_trips_per_second\": %.1f, "
        "\"median_latency_us\": %llu, \"p99_latency_us\": %llu, \"lost\": %llu, "
        "\"late\": %llu}, "
        "\"bytes_verified\": %llu, \"errors\": %llu, \"corrupted\": %llu, \"stray\": %llu, "
        "\"connect_failures\": %llu, \"closed_early\": %llu, \"socket_errors\": %llu}\n",
        seconds, config.fConnections, config.fMessageSize, config.fIdleConnections, config.fWindow,
        config.fDatagramSize, (unsigned long long)(tcp + udp), PerSecond(tcp + udp, seconds),
        (unsigned long long)median, (unsigned long long)p99, (unsigned long long)tcp,
        PerSecond(tcp, seconds), (unsigned long long)stats.fTCPLatency.Percentile(0.5),
        (unsigned long long)stats.fTCPLatency.Percentile(0.99), (unsigned long long)udp,
        PerSecond(udp, seconds), (unsigned long long)stats.fUDPLatency.Percentile(0.5),
        (unsigned long long)stats.fUDPLatency.Percentile(0.99),
        (unsigned long long)stats.fLostDatagrams.load(),
        (unsigned long long)stats.fLateDatagrams.load(),
        (unsigned long long)stats.fBytesVerified.load(), (unsigned long long)stats.Errors(),
        (unsigned long long)stats.fCorrupted.load(),
        (unsigned long long)stats.fStrayDatagrams.load(),
        (unsigned long long)stats.fConnectFailures.load(),
        (unsigned long long)stats.fClosedEarly.load(),
        (unsigned long long)stats.fSocketErrors.load());
    return text;
}
