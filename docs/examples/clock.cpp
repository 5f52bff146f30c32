// Measures an interval with the wrap-safe millisecond clock.
#include <commonutilities/OS.h>
#include <commonutilities/OSThread.h>

#include <cstdio>

int main() {
    OS::Initialize();
    //! [interval]
    const int64_t start = OS::Milliseconds();
    OSThread::Sleep(20);
    const int64_t took = OS::Milliseconds() - start;  // never negative, even across a wrap
    //! [interval]
    std::printf("slept for %lld ms\n", (long long)took);
    return took >= 10 ? 0 : 1;
}
