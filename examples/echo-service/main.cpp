// echo-service: the Echo Protocol (RFC 862) on TCP and UDP, built on the runtime, with
// a load client that drives it over loopback and verifies every byte.
#include <cstdio>
#include <string>

#include "EchoCommands.h"
#include "EchoOptions.h"

void ReportProblem(const std::string& problem) {
    std::fprintf(stderr, "echo-service: %s\n%s", problem.c_str(), EchoUsage());
}

int main(int argc, char** argv) {
    EchoOptions options;
    std::string error;
    if (!ParseEchoOptions(argc - 1, argv + 1, &options, &error)) {
        ReportProblem(error);
        return kExitUsage;
    }
    switch (options.fMode) {
        case EchoOptions::Mode::kHelp:
            std::fputs(EchoUsage(), stdout);
            return kExitOK;
        case EchoOptions::Mode::kLoad:
            return RunLoad(options);
        case EchoOptions::Mode::kServe:
            break;
    }
    return RunService(options);
}
