// Brings the runtime up as a host does, then runs the registered benchmarks.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "RuntimeHost.h"

int main(int argc, char** argv) {
    // Each benchmark adds the task threads and the event loop it needs (BenchSupport.h).
    std::string error;
    if (!RuntimeHost::Start({.fTaskThreads = 0, .fEventLoop = false}, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
