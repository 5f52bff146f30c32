// Several processes: the parent starts its children with its own arguments, --processes
// taken out, and waits for them. Serving children share one TCP port, held by the parent
// (so that port 0 names one port for all); the first also serves UDP. Load children share
// out the connections and the datagram window.
#include <cstdio>

#include "ChildProcesses.h"
#include "EchoCommands.h"

int RunProcesses(const EchoOptions& options, int argc, const char* const* argv) {
    ChildProcesses children("echo-service");
    const bool serving = options.fMode == EchoOptions::Mode::kServe;
    const uint32_t count = options.fProcesses;
    std::vector<std::string> arguments = WithOption(ArgumentsOf(argc, argv), "--processes", "");
    std::string error;
    if (serving) {
        uint16_t port = options.fTCPPort;
        if (!children.HoldPort(options.fBindAddress, &port, &error)) {
            ReportProblem(error);
            return kExitFailed;
        }
        arguments = WithOption(arguments, "--tcp-port", std::to_string(port));
        arguments.push_back("--share-port");
        std::printf("echo-service: %u processes serving on tcp %s\n", count,
                    AddressText(AtPort(options.fBindAddress, port)).c_str());
    }
    const auto childArguments = [&](uint32_t i) {
        std::vector<std::string> child = arguments;
        if (serving) {
            if (i > 0) child.push_back("--no-udp");
            return child;
        }
        const auto share = [&](uint32_t total) { return std::to_string(ShareOf(total, count, i)); };
        child = WithOption(child, "--connections", share(options.fConnections));
        child = WithOption(child, "--idle-connections", share(options.fIdleConnections));
        return WithOption(child, "--window", share(options.fWindow));
    };
    if (children.Run(count, childArguments, &error)) return kExitOK;
    if (!error.empty()) ReportProblem(error);
    return kExitFailed;
}
