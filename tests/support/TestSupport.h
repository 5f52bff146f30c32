// Helpers shared by the test suites.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "OSAssert.h"

using namespace std::chrono_literals;  // every suite states its waits in these

// Records every assertion text, so tests can check what was reported (and so that no
// assertion breaks into the debugger while the suites run).
class AssertRecorder : public AssertLogger {
public:
    static AssertRecorder& Instance();
    void LogAssert(const char* text) override;
    std::vector<std::string> Take();  // the texts so far, oldest first; clears them
};

// What a scope reported: made before the code under test, it forgets what came earlier.
class ReportedAsserts {
public:
    ReportedAsserts() { AssertRecorder::Instance().Take(); }
    std::vector<std::string> Take() { return AssertRecorder::Instance().Take(); }
};

// The texts an assertion reports: "_Assert: Source, line" and "_AssertV: Source, line (v)".
std::string AssertText(const char* source, int line);
std::string AssertText(const char* source, int line, int32_t value);

// Polls until the predicate holds or the time is up; true when it held.
bool WaitUntil(const std::function<bool()>& predicate,
               std::chrono::milliseconds limit = std::chrono::seconds(10));

// The negative check: true when the predicate stayed false for the whole window (it
// returns as soon as the predicate holds).
bool StaysFalseFor(const std::function<bool()>& predicate, std::chrono::milliseconds window);

// True when the suites run under qemu's user-mode emulation, as the linux32 test preset
// announces with CU_QEMU_USER=1: a test of what qemu does not emulate skips, saying so.
bool UnderQemuUserEmulation();

// A helper thread that is joined on scope exit and cannot hang the suite: when the body has
// not ended within the limit (a failed assertion left it waiting, say), the process ends
// with a message instead, since the body may still use the test's stack.
class BoundedThread {
public:
    static constexpr std::chrono::milliseconds kJoinLimit{20000};

    explicit BoundedThread(std::function<void()> body);
    ~BoundedThread() { Join(); }
    BoundedThread(const BoundedThread&) = delete;
    BoundedThread& operator=(const BoundedThread&) = delete;

    bool Finished() const { return fFinished.load(); }
    void Join(std::chrono::milliseconds limit = kJoinLimit);

private:
    std::atomic<bool> fFinished{false};
    std::thread fThread;
};
