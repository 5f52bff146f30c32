// Brings the runtime up in the order a host must keep and shows each piece at work.
#include <cstdio>

#include "OS.h"
#include "OSAssert.h"
#include "OSAtomic.h"
#include "OSCond.h"
#include "OSMutex.h"
#include "OSThread.h"

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
    InstallAssertLogger(&logger);

    OS::Initialize();
    std::printf("clock anchored: %lld ms since 1970, %u processors, UTC%+d\n",
                (long long)OS::Milliseconds(), OS::ProcessorCount(), OS::TimeZoneOffsetHours());

    OSThread::Initialize();
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
