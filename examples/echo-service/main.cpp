// echo-service: the Echo Protocol (RFC 862) on TCP and UDP, built on the runtime, with
// a load client that drives it over loopback and verifies every byte.
#include <cstdio>
#include <string>

#include "EchoCommands.h"
#include "EchoOptions.h"
#include "OS.h"
#include "RuntimeHost.h"

// What both commands share: reporting a problem, and bringing the runtime up and down.

void ReportProblem(const std::string& problem) {
    std::fprintf(stderr, "echo-service: %s\n%s", problem.c_str(), EchoUsage());
}

uint32_t TaskThreadCount(const EchoOptions& options) {
    return options.fThreads > 0 ? options.fThreads : OS::ProcessorCount();
}

bool StartRuntime(uint32_t taskThreads) {
    std::string error;
    if (!RuntimeHost::Start({.fTaskThreads = taskThreads}, &error)) {
        ReportProblem(error);
        return false;
    }
    RuntimeHost::WatchStopRequests();
    return true;
}

int StopRuntimeWithProblem(const std::string& problem) {
    RuntimeHost::Stop();
    ReportProblem(problem);
    return kExitFailed;
}

int main(int argc, char** argv) {
    EchoOptions options;
    std::string error;
    if (!ParseEchoOptions(argc - 1, argv + 1, &options, &error)) {
        ReportProblem(error);
        return kExitUsage;
    }
    if (options.fMode == EchoOptions::Mode::kHelp) {
        std::fputs(EchoUsage(), stdout);
        return kExitOK;
    }
    if (options.fProcesses > 1) return RunProcesses(options, argc, argv);
    return options.fMode == EchoOptions::Mode::kLoad ? RunLoad(options) : RunService(options);
}
