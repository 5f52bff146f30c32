// What every fuzz target shares: an assertion logger that counts instead of breaking, and
// a check that aborts (so the fuzzer records the input) when a model disagrees.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "OSAssert.h"

class CountingAssertLogger : public AssertLogger {
public:
    void LogAssert(const char* text) override {
        ++fCount;
        fLast = text;
    }
    int fCount = 0;
    std::string fLast;
};

inline CountingAssertLogger& FuzzAsserts() {
    static CountingAssertLogger logger;
    return logger;
}

// Sends standard output nowhere: /dev/null, or the Windows null device where that is
// missing; fully buffered, since a write to the Windows null device costs a system call.
inline void DiscardStandardOutput() {
    bool discarded = false;
    if (std::FILE* probe = std::fopen("/dev/null", "w")) {
        std::fclose(probe);
        discarded = std::freopen("/dev/null", "w", stdout) != nullptr;
    }
    if (!discarded) discarded = std::freopen("NUL", "w", stdout) != nullptr;
    if (!discarded) std::fputs("output not discarded\n", stderr);
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof(buffer));
}

#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)
