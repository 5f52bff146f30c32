// Brings the runtime up as a host does, then runs the registered benchmarks.
#include <benchmark/benchmark.h>

#include "OS.h"
#include "OSThread.h"

int main(int argc, char** argv) {
    OS::Initialize();
    OSThread::Initialize();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
