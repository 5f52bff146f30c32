// http-server: static content over HTTP/1.1, or HTTPS, on the runtime, until Ctrl-C or SIGTERM.
#include <cstdio>
#include <memory>
#include <string>

#include "ChildProcesses.h"
#include "HttpFile.h"
#include "HttpOptions.h"
#include "HttpServer.h"
#include "HttpTLS.h"
#include "OS.h"
#include "RuntimeHost.h"

namespace {

// Exit statuses, as the echo service's.
constexpr int kExitOK = 0;
constexpr int kExitFailed = 1;  // could not start, or did not stop cleanly
constexpr int kExitUsage = 2;   // bad options

int Problem(const std::string& problem, int status) {
    std::fprintf(stderr, "http-server: %s\n%s", problem.c_str(), HttpUsage());
    return status;
}

// The parent of options.fProcesses children on the one port it holds.
int RunProcesses(const HttpOptions& options, const char* scheme, int argc,
                 const char* const* argv) {
    ChildProcesses children("http-server");
    uint16_t port = options.fPort;
    std::string error;
    if (!children.HoldPort(options.fBindAddress, &port, &error)) return Problem(error, kExitFailed);
    std::vector<std::string> arguments = WithOption(ArgumentsOf(argc, argv), "--processes", "");
    arguments = WithOption(arguments, "--port", std::to_string(port));
    arguments.push_back("--share-port");
    std::printf("http-server: %u processes serving %s on %s\n", options.fProcesses, scheme,
                AddressText(AtPort(options.fBindAddress, port)).c_str());
    const auto sameForEach = [&](uint32_t) { return arguments; };
    if (children.Run(options.fProcesses, sameForEach, &error)) return kExitOK;
    return error.empty() ? kExitFailed : Problem(error, kExitFailed);
}

}  // namespace

int main(int argc, char** argv) {
    HttpOptions options;
    std::string error;
    if (!ParseHttpOptions(argc - 1, argv + 1, &options, &error)) return Problem(error, kExitUsage);
    if (options.fHelp) {
        std::fputs(HttpUsage(), stdout);
        return kExitOK;
    }
    HttpServerConfig config;
    config.fBindAddress = options.fBindAddress;
    config.fPort = options.fPort;
    config.fSharePort = options.fSharePort;
    config.fSite.fIdleTimeoutMSec = options.fIdleTimeoutSeconds * 1000;
    if (!options.fRoot.empty() && !ResolveRoot(options.fRoot, &config.fSite.fRoot, &error))
        return Problem(error, kExitUsage);
    // Loaded here, before any child starts, so that a bad file is one line from one process.
    std::unique_ptr<HttpTLS> tls;
    if (!options.fTLSCertificate.empty()) {
        tls.reset(HttpTLS::Make(options, &error));
        if (tls == nullptr) {
            std::fprintf(stderr, "http-server: %s\n", error.c_str());
            return kExitFailed;
        }
        config.fSite.fTLS = tls.get();
    }
    const char* scheme = tls != nullptr ? "https" : "http";
    if (options.fProcesses > 1) return RunProcesses(options, scheme, argc, argv);

    const uint32_t threads = options.fThreads > 0 ? options.fThreads : OS::ProcessorCount();
    if (!RuntimeHost::Start({.fTaskThreads = threads}, &error)) return Problem(error, kExitFailed);
    RuntimeHost::WatchStopRequests();
    HttpServer server;
    if (!server.Start(config, &error)) {
        RuntimeHost::Stop();
        return Problem(error, kExitFailed);
    }
    std::printf("http-server: serving %s on %s\n", scheme,
                AddressText(AtPort(options.fBindAddress, server.GetPort())).c_str());
    std::fflush(stdout);

    RuntimeHost::WaitForStopRequest();

    const bool stopped = server.Stop();
    RuntimeHost::Stop();
    std::printf("http-server: stopped%s\n",
                stopped ? "" : " (some connections did not end in time)");
    std::fflush(stdout);
    return stopped ? kExitOK : kExitFailed;
}
