// Load: bring the runtime up, drive the service for the duration with a progress line
// every second, stop and print the summary.
#include <chrono>
#include <cstdio>

#include "EchoCommands.h"
#include "LoadClient.h"
#include "LoadReport.h"
#include "RuntimeHost.h"

namespace {

constexpr uint32_t kTickMSec = 100;

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int RunLoad(const EchoOptions& options) {
    if (!StartRuntime(TaskThreadCount(options))) return kExitFailed;

    LoadConfig config;
    config.fTargetAddress = options.fTargetAddress;
    config.fTCPPort = options.fTCPPort;
    config.fUDPPort = options.fUDPPort;
    config.fConnections = options.fConnections;
    config.fMessageSize = options.fMessageSize;
    config.fIdleConnections = options.fIdleConnections;
    config.fWindow = options.fWindow;
    config.fDatagramSize = options.fDatagramSize;
    LoadClient client;
    std::string error;
    if (!client.Start(config, &error)) return StopRuntimeWithProblem(error);
    // With --json the standard output carries the summary alone.
    FILE* progress = options.fJSON ? stderr : stdout;
    std::fprintf(progress,
                 "echo-service: load on %s (tcp port %u, udp port %u) for %u s: %u "
                 "connections x %u bytes, %u idle, %u datagrams x %u bytes in flight\n",
                 AddressText(options.fTargetAddress, 0).c_str(), options.fTCPPort, options.fUDPPort,
                 options.fDurationSeconds, options.fConnections, options.fMessageSize,
                 options.fIdleConnections, options.fWindow, options.fDatagramSize);
    std::fflush(progress);

    const auto start = std::chrono::steady_clock::now();
    LoadSnapshot before = LoadSnapshot::Take(client.Stats());
    double lastReport = 0;
    uint32_t reported = 0;
    while (!RuntimeHost::WaitForStopRequest(kTickMSec)) {
        client.Tick();
        const double elapsed = SecondsSince(start);
        if (elapsed >= reported + 1.0) {
            ++reported;
            const LoadSnapshot now = LoadSnapshot::Take(client.Stats());
            std::fprintf(
                progress, "%s\n",
                ProgressLine(now, before, elapsed - lastReport, reported, options.fDurationSeconds)
                    .c_str());
            std::fflush(progress);
            before = now;
            lastReport = elapsed;
        }
        if (elapsed >= options.fDurationSeconds) break;
    }
    const double seconds = SecondsSince(start);
    const bool stopped = client.Stop();
    RuntimeHost::Stop();

    const std::string summary =
        options.fJSON ? SummaryJSON(client, seconds) : SummaryText(client, seconds);
    std::fputs(summary.c_str(), stdout);
    std::fflush(stdout);
    LoadStats& stats = client.Stats();
    const bool clean = stopped && stats.Errors() == 0 && stats.RoundTrips() > 0;
    return clean || (stopped && stats.Errors() == 0 && options.fConnections == 0 &&
                     options.fWindow == 0)
               ? kExitOK
               : kExitFailed;
}
