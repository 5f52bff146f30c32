// Measures an interval with the wrap-safe millisecond clock, shows the clock across a wrap
// of the platform timer, and routes assertion texts to a logger of the program's own.
#include <commonutilities/OS.h>
#include <commonutilities/OSAssert.h>
#include <commonutilities/OSThread.h>

#include <atomic>
#include <cstdio>

namespace {

//! [logger]
class CountingLogger : public AssertLogger {
public:
    // Any thread, perhaps two at once: one stdio call per text, and an atomic count.
    void LogAssert(const char* text) override {
        std::fprintf(stderr, "assertion: %s\n", text);
        fCount.fetch_add(1);
    }
    std::atomic<int> fCount{0};
};
//! [logger]

uint32_t sRawTimer = 0;

}  // namespace

int main() {
    //! [start]
    static CountingLogger logger;  // outlives every thread that may assert
    InstallAssertLogger(&logger);
    OS::Initialize();
    //! [start]

    //! [interval]
    const int64_t start = OS::Milliseconds();
    OSThread::Sleep(20);
    const int64_t took = OS::Milliseconds() - start;  // never negative, even across a wrap
    //! [interval]
    std::printf("slept for %lld ms\n", (long long)took);

    //! [assert]
    const int32_t error = ENOENT;
    AssertV(error == 0, error);  // reports "_AssertV: clock, <line> (2)" and goes on
    //! [assert]
    if (logger.fCount != 1) return 1;

    //! [wrap]
    // The timer under the clock is 32 bits of milliseconds: it wraps every 49.7 days.
    const OS::RawTimer platformTimer = OS::SetRawTimer([] { return sRawTimer; });
    sRawTimer = 0xFFFFFFF0u;
    const int64_t before = OS::Milliseconds();
    sRawTimer = 0x10u;  // 32 ms later, past the wrap
    const int64_t after = OS::Milliseconds();
    OS::SetRawTimer(platformTimer);
    //! [wrap]
    std::printf("across the wrap the clock moved %lld ms\n", (long long)(after - before));
    return took >= 10 && after - before == 32 ? 0 : 1;
}
