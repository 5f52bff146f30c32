// The program's two modes, each run from start to summary. Both bring the runtime up
// and take it down again, so each runs once per process.
#pragma once

#include "EchoOptions.h"

// Exit statuses.
constexpr int kExitOK = 0;
constexpr int kExitFailed = 1;  // could not start, or errors found
constexpr int kExitUsage = 2;   // bad options

int RunService(const EchoOptions& options);
int RunLoad(const EchoOptions& options);

// Prints "echo-service: <problem>" and the usage to the error stream.
void ReportProblem(const std::string& problem);
