// Asks for a 1 ms timer fifty times and reports how long each took: a task thread waits on
// its run queue for at least 10 ms, so a shorter timer fires late unless a signal comes.
#include <commonutilities/OS.h>
#include <commonutilities/OSThread.h>
#include <commonutilities/RuntimeHost.h>
#include <commonutilities/Task.h>

#include <atomic>
#include <cstdio>
#include <string>

namespace {

constexpr int kRuns = 50;
std::atomic<int64_t> sTookMSec{-1};

//! [task]
class ShortTimerTask : public Task {
public:
    int64_t Run() override {
        TakeEvents();
        if (fRuns == 0) fStart = OS::Milliseconds();
        if (++fRuns <= kRuns) return 1;  // run again in 1 ms, if the thread wakes by then
        sTookMSec = OS::Milliseconds() - fStart;
        return -1;  // done: the task thread deletes the task
    }

private:
    int fRuns = 0;
    int64_t fStart = 0;
};
//! [task]

}  // namespace

int main() {
    std::string error;
    if (!RuntimeHost::Start({.fTaskThreads = 1, .fEventLoop = false}, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    (new ShortTimerTask)->Signal(Task::kReadEvent);
    while (sTookMSec < 0)
        OSThread::Sleep(10);
    RuntimeHost::Stop();
    std::printf("%d timers of 1 ms took %lld ms: %.1f ms each\n", kRuns, (long long)sTookMSec,
                double(sTookMSec) / kRuns);
    return sTookMSec >= kRuns ? 0 : 1;
}
