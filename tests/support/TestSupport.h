// Helpers shared by the test suites.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "OSAssert.h"

// Records every assertion text, so tests can check what was reported (and so that no
// assertion breaks into the debugger while the suites run).
class AssertRecorder : public AssertLogger {
public:
    static AssertRecorder& Instance();

    void LogAssert(const char* text) override;
    std::vector<std::string> Take();  // the texts so far, oldest first; clears them
    size_t Count();

private:
    AssertRecorder() = default;
};

// Polls until the predicate holds or the time is up; true when it held. Tests wait with
// it instead of sleeping a fixed time, so they are quick when things work and never hang.
bool WaitUntil(const std::function<bool()>& predicate,
               std::chrono::milliseconds limit = std::chrono::seconds(10));
