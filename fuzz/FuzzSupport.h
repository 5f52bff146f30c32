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
// missing.
inline void DiscardStandardOutput() {
    if (std::FILE* probe = std::fopen("/dev/null", "w")) {
        std::fclose(probe);
        if (std::freopen("/dev/null", "w", stdout) != nullptr) return;
    }
    if (std::freopen("NUL", "w", stdout) == nullptr) std::fputs("output not discarded\n", stderr);
}

#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)
