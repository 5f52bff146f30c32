#include "RuntimeHost.h"

#include <cstdio>

#include "EventContext.h"
#include "OS.h"
#include "OSAssert.h"
#include "OSThread.h"
#include "Socket.h"
#include "SocketUtils.h"
#include "Task.h"
#include "platform/Platform.h"

namespace {

// Assertion texts go to the error stream instead of breaking into a debugger.
class ErrorStreamLogger : public AssertLogger {
public:
    void LogAssert(const char* text) override {
        std::fprintf(stderr, "%s\n", text);
        std::fflush(stderr);
    }
};

ErrorStreamLogger sErrorStreamLogger;
bool sBasicsUp = false;  // logger, clock, threads, socket library, interface table
bool sTaskThreadsUp = false;
bool sStopped = false;  // the pool is made once per process: no Start after a Stop

bool StartBasics(AssertLogger* logger, std::string* error) {
    InstallAssertLogger(logger != nullptr ? logger : &sErrorStreamLogger);
    OS::Initialize();
    OSThread::Initialize();
    if (!Platform::StartSocketLibrary()) {
        *error = "the socket library did not start";
        return false;
    }
    SocketUtils::LoadInterfaces(false);
    sBasicsUp = true;
    return true;
}

}  // namespace

bool RuntimeHost::Start(const RuntimeHostConfig& config, std::string* error) {
    if (sStopped) {
        *error = "the runtime was stopped: it starts once per process";
        return false;
    }
    if (!sBasicsUp && !StartBasics(config.fAssertLogger, error)) return false;
    if (config.fEventLoop && Socket::sEventLoop == nullptr) {
        // The event loop runs for the life of the process: it is never destroyed.
        Socket::sEventLoop = new EventLoopThread;
        Socket::sEventLoop->Start();
    }
    if (config.fTaskThreads > 0 && !sTaskThreadsUp) {
        if (!TaskThreadPool::AddThreads(config.fTaskThreads)) {
            *error = "the task threads did not start";
            return false;
        }
        sTaskThreadsUp = true;
    }
    return true;
}

bool RuntimeHost::WatchStopRequests() {
    return Platform::WatchStopRequests();
}

void RuntimeHost::RequestStop() {
    Platform::RequestStop();
}

bool RuntimeHost::StopRequested() {
    return Platform::StopRequested();
}

bool RuntimeHost::WaitForStopRequest(uint32_t timeoutMSec) {
    static_assert(kForever == Platform::kInfinite);
    return Platform::WaitForStopRequest(timeoutMSec);
}

void RuntimeHost::Stop() {
    if (sTaskThreadsUp) TaskThreadPool::RemoveThreads();
    sTaskThreadsUp = false;
    if (sBasicsUp) Platform::StopSocketLibrary();
    sStopped = true;
}
