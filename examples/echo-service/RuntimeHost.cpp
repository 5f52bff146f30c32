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
    void LogAssert(const char* text) override { std::fprintf(stderr, "%s\n", text); }
};

ErrorStreamLogger sLogger;

}  // namespace

bool RuntimeHost::Start(uint32_t taskThreads, std::string* error) {
    InstallAssertLogger(&sLogger);
    OS::Initialize();
    OSThread::Initialize();
    if (!Platform::StartSocketLibrary()) {
        *error = "the socket library did not start";
        return false;
    }
    SocketUtils::LoadInterfaces(false);
    // The event loop runs for the life of the process: it is never destroyed.
    Socket::sEventLoop = new EventLoopThread;
    Socket::sEventLoop->Start();
    TaskThreadPool::AddThreads(taskThreads);
    return true;
}

void RuntimeHost::Stop() {
    TaskThreadPool::RemoveThreads();
    Platform::StopSocketLibrary();
}
