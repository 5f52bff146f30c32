#include "LoadReport.h"

#include <cstdio>

namespace {

double PerSecond(uint64_t count, double seconds) {
    return seconds > 0 ? count / seconds : 0;
}

using Count = unsigned long long;  // as %llu prints it

// Round trips, their rate and their latency, for one protocol or both together.
struct TripFigures {
    Count fRoundTrips = 0;
    double fPerSecond = 0;
    Count fMedianUs = 0;
    Count fP99Us = 0;
};

// Every figure of the summary, read once; the text and the JSON print the same numbers.
struct SummaryFigures {
    TripFigures fAll;
    TripFigures fTCP;
    TripFigures fUDP;
    Count fBytesVerified = 0;
    Count fErrors = 0;
    Count fCorrupted = 0;
    Count fStray = 0;
    Count fConnectFailures = 0;
    Count fClosedEarly = 0;
    Count fSocketErrors = 0;
    Count fLost = 0;
    Count fLate = 0;
};

TripFigures TripsOf(uint64_t roundTrips, const LatencyHistogram& latency, double seconds) {
    return {Count(roundTrips), PerSecond(roundTrips, seconds), Count(latency.Percentile(0.5)),
            Count(latency.Percentile(0.99))};
}

SummaryFigures FiguresOf(LoadStats& stats, double seconds) {
    static LatencyHistogram combined;  // large: kept out of the stack, used by one thread
    combined.Reset();
    combined.Add(stats.fTCPLatency);
    combined.Add(stats.fUDPLatency);
    const uint64_t tcp = stats.fTCPRoundTrips.load();
    const uint64_t udp = stats.fUDPRoundTrips.load();
    SummaryFigures figures;
    figures.fAll = TripsOf(tcp + udp, combined, seconds);
    figures.fTCP = TripsOf(tcp, stats.fTCPLatency, seconds);
    figures.fUDP = TripsOf(udp, stats.fUDPLatency, seconds);
    figures.fBytesVerified = stats.fBytesVerified.load();
    figures.fErrors = stats.Errors();
    figures.fCorrupted = stats.fCorrupted.load();
    figures.fStray = stats.fStrayDatagrams.load();
    figures.fConnectFailures = stats.fConnectFailures.load();
    figures.fClosedEarly = stats.fClosedEarly.load();
    figures.fSocketErrors = stats.fSocketErrors.load();
    figures.fLost = stats.fLostDatagrams.load();
    figures.fLate = stats.fLateDatagrams.load();
    return figures;
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
    const LoadConfig& config = client.Config();
    const SummaryFigures f = FiguresOf(client.Stats(), seconds);
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
        config.fDatagramSize, f.fAll.fRoundTrips, f.fAll.fPerSecond, f.fTCP.fRoundTrips,
        f.fTCP.fPerSecond, f.fUDP.fRoundTrips, f.fUDP.fPerSecond, f.fAll.fMedianUs, f.fAll.fP99Us,
        f.fTCP.fMedianUs, f.fTCP.fP99Us, f.fUDP.fMedianUs, f.fUDP.fP99Us, f.fBytesVerified,
        f.fErrors, f.fCorrupted, f.fStray, f.fConnectFailures, f.fClosedEarly, f.fSocketErrors,
        f.fLost, f.fLate);
    return text;
}

std::string SummaryJSON(LoadClient& client, double seconds) {
    const LoadConfig& config = client.Config();
    const SummaryFigures f = FiguresOf(client.Stats(), seconds);
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
        config.fDatagramSize, f.fAll.fRoundTrips, f.fAll.fPerSecond, f.fAll.fMedianUs,
        f.fAll.fP99Us, f.fTCP.fRoundTrips, f.fTCP.fPerSecond, f.fTCP.fMedianUs, f.fTCP.fP99Us,
        f.fUDP.fRoundTrips, f.fUDP.fPerSecond, f.fUDP.fMedianUs, f.fUDP.fP99Us, f.fLost, f.fLate,
        f.fBytesVerified, f.fErrors, f.fCorrupted, f.fStray, f.fConnectFailures, f.fClosedEarly,
        f.fSocketErrors);
    return text;
}
