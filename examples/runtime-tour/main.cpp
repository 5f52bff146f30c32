// Brings the runtime's primitives up through the host and shows each piece at work.
#include <cstdio>
#include <string>

#include "OS.h"
#include "OSAssert.h"
#include "OSAtomic.h"
#include "OSCond.h"
#include "OSMutex.h"
#include "OSThread.h"
#include "RuntimeHost.h"

namespace {

class PrintingLogger : public AssertLogger {
public:
    void LogAssert(const char* text) override { std::printf("assertion: %s\n", text); }
};

// A thread that waits for one signal, counts, and ends when asked.
class Waiter : public OSThread {
public:
    ~Waiter() override { StopAndWaitForThread(); }
    void Entry() override {
        OSMutexLocker locker(&fMutex);
        while (!IsStopRequested()) {
            fCond.Wait(&fMutex, 1000);
            AtomicAdd(&fWakeups, 1);
        }
    }
    void Wake() { fCond.Signal(); }

    OSMutex fMutex;
    OSCond fCond;
    uint32_t fWakeups = 0;
};

}  // namespace

int main() {
    PrintingLogger logger;
    std::string error;
    // The primitives alone: no task threads, no event loop.
    if (!RuntimeHost::Start({.fTaskThreads = 0, .fEventLoop = false, .fAssertLogger = &logger},
                            &error)) {
        std::printf("runtime did not start: %s\n", error.c_str());
        return 1;
    }
    std::printf("clock anchored: %lld ms since 1970, %u processors, UTC%+d\n",
                (long long)OS::Milliseconds(), OS::ProcessorCount(), OS::TimeZoneOffsetHours());

    Waiter waiter;
    waiter.Start();
    const int64_t start = OS::Milliseconds();
    waiter.SendStopRequest();
    waiter.Wake();
    waiter.StopAndWaitForThread();
    std::printf("thread started, woken, stopped and joined in %lld ms (%u wake-up)\n",
                (long long)(OS::Milliseconds() - start), AtomicRead(&waiter.fWakeups));

    {
        OSMutexReadLocker reader(&sGlobalRWMutex);
        std::printf("global lock taken shared: %s\n",
                    sGlobalRWMutex.TryLockWrite() == EBUSY ? "writers kept out" : "unexpected");
    }
    std::printf("runtime up and down cleanly\n");
    return 0;
}
