// Serving: bring the runtime up, serve until interrupted or the duration is over, stop
// cleanly and print what was done.
#include <cstdio>

#include "EchoCommands.h"
#include "EchoService.h"
#include "OS.h"
#include "OSThread.h"
#include "RuntimeHost.h"
#include "platform/Platform.h"

namespace {

constexpr uint32_t kWaitSliceMSec = 50;

// Until a stop is requested or the duration (0: none) is over.
void WaitForStop(uint32_t durationSeconds) {
    const int64_t deadline = OS::Milliseconds() + int64_t(durationSeconds) * 1000;
    while (!Platform::StopRequested()) {
        if (durationSeconds > 0 && OS::Milliseconds() >= deadline) return;
        OSThread::Sleep(kWaitSliceMSec);
    }
}

}  // namespace

int RunService(const EchoOptions& options) {
    const uint32_t threads = TaskThreadCount(options);
    if (!StartRuntime(threads)) return kExitFailed;

    EchoServiceConfig config;
    config.fBindAddress = options.fBindAddress;
    config.fTCPPort = options.fTCPPort;
    config.fUDPPort = options.fUDPPort;
    config.fMaxConnections = options.fMaxConnections;
    config.fIdleTimeoutMSec = options.fIdleTimeoutSeconds * 1000;
    EchoService service;
    std::string error;
    if (!service.Start(config, &error)) return StopRuntimeWithProblem(error);
    const std::string address = AddressText(options.fBindAddress);
    std::printf("echo-service: serving echo on tcp %s:%u and udp %s:%u with %u task threads",
                address.c_str(), service.GetTCPPort(), address.c_str(), service.GetUDPPort(),
                threads);
    if (options.fDurationSeconds > 0)
        std::printf(" for %u s\n", options.fDurationSeconds);
    else
        std::printf("; Ctrl-C stops it\n");
    std::fflush(stdout);

    WaitForStop(options.fDurationSeconds);

    std::printf("echo-service: stopping: %u connections open\n",
                service.Stats().fOpenConnections.load());
    const bool stopped = service.Stop();
    RuntimeHost::Stop();
    EchoStats& stats = service.Stats();
    std::printf(
        "echo-service: stopped%s: %llu connections served (%llu turned away), %llu bytes "
        "echoed, %llu datagrams echoed (%llu bytes), %llu datagram errors, at most %lld "
        "bytes buffered\n",
        stopped ? "" : " (some tasks did not end in time)",
        (unsigned long long)stats.fConnectionsServed.load(),
        (unsigned long long)stats.fConnectionsRefused.load(),
        (unsigned long long)stats.fBytesEchoed.load(),
        (unsigned long long)stats.fDatagramsEchoed.load(),
        (unsigned long long)stats.fDatagramBytesEchoed.load(),
        (unsigned long long)stats.fDatagramErrors.load(),
        (long long)stats.fPeakBufferedBytes.load());
    std::fflush(stdout);
    return stopped ? kExitOK : kExitFailed;
}
