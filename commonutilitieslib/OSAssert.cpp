#include "OSAssert.h"

#include <cstdio>
#include <cstring>

#include "platform/Platform.h"

namespace {

AssertLogger* sAssertLogger = nullptr;

// The family name of a source file: its base name without directories or extension.
struct SourceName {
    const char* fStart;
    int fLength;
};

SourceName SourceNameOf(const char* file) {
    const char* start = file;
    for (const char* p = file; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') start = p + 1;
    }
    const char* dot = strrchr(start, '.');
    const size_t length = dot != nullptr ? size_t(dot - start) : strlen(start);
    return {start, int(length)};
}

}  // namespace

void InstallAssertLogger(AssertLogger* logger) {
    sAssertLogger = logger;
}

void ReportAssertion(const char* text) {
    if (sAssertLogger != nullptr) {
        sAssertLogger->LogAssert(text);
    } else {
        Platform::BreakIntoDebugger();
    }
}

void ReportAssertFailure(const char* file, int line) {
    char buffer[kAssertBufferSize];  // at most 255 characters, always terminated
    const SourceName source = SourceNameOf(file);
    snprintf(buffer, kAssertBufferSize, "_Assert: %.*s, %d", source.fLength, source.fStart, line);
    ReportAssertion(buffer);
}

void ReportAssertValueFailure(const char* file, int line, int32_t value) {
    char buffer[kAssertBufferSize];  // at most 255 characters, always terminated
    const SourceName source = SourceNameOf(file);
    snprintf(buffer, kAssertBufferSize, "_AssertV: %.*s, %d (%d)", source.fLength, source.fStart,
             line, int(value));
    ReportAssertion(buffer);
}
