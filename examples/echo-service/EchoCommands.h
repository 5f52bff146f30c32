// The program's two modes, each run from start to summary. Both bring the runtime up
// and take it down again, so each runs once per process.
#pragma once

#include <cstdint>
#include <string>

#include "EchoOptions.h"

// Exit statuses.
constexpr int kExitOK = 0;
constexpr int kExitFailed = 1;  // could not start, or errors found
constexpr int kExitUsage = 2;   // bad options

int RunService(const EchoOptions& options);
int RunLoad(const EchoOptions& options);
// Either mode as a parent of options.fProcesses children, given the program's arguments.
int RunProcesses(const EchoOptions& options, int argc, const char* const* argv);

// Prints "echo-service: <problem>" and the usage to the error stream.
void ReportProblem(const std::string& problem);

// The task threads the options ask for: one per processor when they name none.
uint32_t TaskThreadCount(const EchoOptions& options);

// Brings the runtime up with that many task threads and starts watching for stop requests.
// False once it has reported why the runtime could not start.
bool StartRuntime(uint32_t taskThreads);

// For a part of the program that could not start after the runtime did: takes the runtime
// down, reports the problem and returns the exit status for it.
int StopRuntimeWithProblem(const std::string& problem);
