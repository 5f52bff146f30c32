/// @file
/// Assertion reporting. A failed assertion formats a short text naming the source and the
/// line, hands it to the host's logger (or breaks into the debugger) and execution goes on.
#pragma once

#include <cstdint>

/// The host's sink for assertion texts. The runtime never owns or deletes it.
class AssertLogger {
public:
    /// Takes one assertion text, NUL-terminated, on whichever thread failed the assertion.
    virtual void LogAssert(const char* text) = 0;

protected:
    ~AssertLogger() = default;
};

/// The longest assertion text, its NUL included.
constexpr int kAssertBufferSize = 256;

/// Installs the logger (null removes it). Called before other threads start.
void InstallAssertLogger(AssertLogger* logger);

/// Passes the text to the installed logger, or breaks into the debugger when there is none.
void ReportAssertion(const char* text);

/// Formats "_Assert: <source>, <line>" and reports it. The source is the base name of
/// `file` without its extension, so every file reports under its family's name.
void ReportAssertFailure(const char* file, int line);

/// Formats "_AssertV: <source>, <line> (<value>)" and reports it.
void ReportAssertValueFailure(const char* file, int line, int32_t value);

/// Reports a false condition with the line where it stands.
#define Assert(condition) AssertAt(condition, __LINE__)
/// Reports a false condition, and the value as an int32_t, with the line where it stands.
#define AssertV(condition, value) AssertVAt(condition, value, __LINE__)

/// Assert with a published line number instead: those numbers identify assertions in logs
/// and stay stable whatever happens to the source around them.
#define AssertAt(condition, line)                \
    do {                                         \
        if (!(condition)) [[unlikely]]           \
            ReportAssertFailure(__FILE__, line); \
    } while (0)

/// AssertV with a published line number.
#define AssertVAt(condition, value, line)                               \
    do {                                                                \
        if (!(condition)) [[unlikely]]                                  \
            ReportAssertValueFailure(__FILE__, line, (int32_t)(value)); \
    } while (0)
