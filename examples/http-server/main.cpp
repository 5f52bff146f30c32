// http-server: static content over HTTP/1.1 on the runtime, until Ctrl-C or SIGTERM.
#include <cstdio>
#include <string>

#include "HttpFile.h"
#include "HttpOptions.h"
#include "HttpServer.h"
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
    config.fSite.fIdleTimeoutMSec = options.fIdleTimeoutSeconds * 1000;
    if (!options.fRoot.empty() && !ResolveRoot(options.fRoot, &config.fSite.fRoot, &error))
        return Problem(error, kExitUsage);

    const uint32_t threads = options.fThreads > 0 ? options.fThreads : OS::ProcessorCount();
    if (!RuntimeHost::Start({.fTaskThreads = threads}, &error)) return Problem(error, kExitFailed);
    RuntimeHost::WatchStopRequests();
    HttpServer server;
    if (!server.Start(config, &error)) {
        RuntimeHost::Stop();
        return Problem(error, kExitFailed);
    }
    std::printf("http-server: serving http on %s:%u\n", AddressText(options.fBindAddress).c_str(),
                server.GetPort());
    std::fflush(stdout);

    RuntimeHost::WaitForStopRequest();

    const bool stopped = server.Stop();
    RuntimeHost::Stop();
    std::printf("http-server: stopped%s\n",
                stopped ? "" : " (some connections did not end in time)");
    std::fflush(stdout);
    return stopped ? kExitOK : kExitFailed;
}
