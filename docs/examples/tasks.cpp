// A task that parks itself, is signalled while parked, and ends: shows what each of Run's
// results does, and that a parked task's signal waits for its timer.
#include <commonutilities/OS.h>
#include <commonutilities/OSThread.h>
#include <commonutilities/RuntimeHost.h>
#include <commonutilities/Task.h>

#include <atomic>
#include <cstdio>
#include <string>

namespace {

std::atomic<bool> sEnded{false};

//! [task]
class Ticker : public Task {
public:
    static constexpr uint32_t kPokeEvent = 0x00010000;  // our own bit
    static constexpr int64_t kParkMSec = 200;

    Ticker() { SetTaskName("Ticker"); }
    ~Ticker() override { sEnded = true; }

    int64_t Run() override {
        const uint32_t events = TakeEvents();
        const long long at = (long long)(OS::Milliseconds() - fStart);
        std::printf("run %d at %lld ms: events 0x%x\n", ++fRuns, at, unsigned(events));
        if (fRuns == 1) return kParkMSec;    // positive: run again in 200 ms
        if (events & kPokeEvent) return -1;  // negative: the task thread deletes us
        return 0;                            // 0: idle until the next signal
    }

private:
    const int64_t fStart = OS::Milliseconds();
    int fRuns = 0;
};
//! [task]

}  // namespace

int main() {
    std::string error;
    if (!RuntimeHost::Start({.fTaskThreads = 1, .fEventLoop = false}, &error)) {
        std::fprintf(stderr, "tasks: %s\n", error.c_str());
        return 1;
    }
    //! [signal]
    auto* ticker = new Ticker;           // tasks live on the heap: a thread deletes them
    ticker->Signal(Task::kReadEvent);    // any bit schedules it: first run
    OSThread::Sleep(50);                 // now it is parked for 200 ms
    ticker->Signal(Ticker::kPokeEvent);  // recorded, but it runs only when its time is up
    //! [signal]
    for (int i = 0; i < 1000 && !sEnded; ++i)
        OSThread::Sleep(10);
    RuntimeHost::Stop();
    return sEnded ? 0 : 1;
}
