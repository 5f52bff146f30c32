// Serving: bring the runtime up, serve until interrupted or the duration is over, stop
// cleanly and print what was done.
#include <cstdio>

#include "EchoCommands.h"
#include "EchoService.h"
#include "RuntimeHost.h"

int RunService(const EchoOptions& options) {
    const uint32_t threads = TaskThreadCount(options);
    if (!StartRuntime(threads)) return kExitFailed;

    EchoServiceConfig config;
    config.fBindAddress = options.fBindAddress;
    config.fTCPPort = options.fTCPPort;
    config.fUDPPort = options.fUDPPort;
    config.fMaxConnections = options.fMaxConnections;
    config.fIdleTimeoutMSec = options.fIdleTimeoutSeconds * 1000;
    config.fShareTCPPort = options.fSharePort;
    config.fServeUDP = options.fServeUDP;
    EchoService service;
    std::string error;
    if (!service.Start(config, &error)) return StopRuntimeWithProblem(error);
    const NetAddress& address = options.fBindAddress;
    std::printf("echo-service: serving echo on tcp %s",
                AddressText(AtPort(address, service.GetTCPPort())).c_str());
    if (options.fServeUDP)
        std::printf(" and udp %s", AddressText(AtPort(address, service.GetUDPPort())).c_str());
    std::printf(" with %u task threads", threads);
    if (options.fDurationSeconds > 0)
        std::printf(" for %u s\n", options.fDurationSeconds);
    else
        std::printf("; Ctrl-C stops it\n");
    std::fflush(stdout);

    // Until a stop is requested or the duration (0: none) is over.
    RuntimeHost::WaitForStopRequest(options.fDurationSeconds > 0 ? options.fDurationSeconds * 1000
                                                                 : RuntimeHost::kForever);

    std::printf("echo-service: stopping: %u connections open\n",
                service.Stats().fOpenConnections.load());
    const bool stopped = service.Stop();
    RuntimeHost::Stop();
    EchoStats& stats = service.Stats();
    std::printf(
        "echo-service: stopped%s: %llu connections served (%llu turned away at the "
        "connection limit, %llu with no message number free), %llu bytes echoed, %llu "
        "datagrams echoed (%llu bytes), %llu datagram errors, at most %lld bytes buffered\n",
        stopped ? "" : " (some tasks did not end in time)",
        (unsigned long long)stats.fConnectionsServed.load(),
        (unsigned long long)stats.fConnectionsRefused.load(),
        (unsigned long long)stats.fConnectionsTurnedAway.load(),
        (unsigned long long)stats.fBytesEchoed.load(),
        (unsigned long long)stats.fDatagramsEchoed.load(),
        (unsigned long long)stats.fDatagramBytesEchoed.load(),
        (unsigned long long)stats.fDatagramErrors.load(),
        (long long)stats.fPeakBufferedBytes.load());
    std::fflush(stdout);
    return stopped ? kExitOK : kExitFailed;
}
