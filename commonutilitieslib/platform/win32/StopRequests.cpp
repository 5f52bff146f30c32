// Stop requests on Windows: console control events.
#include <windows.h>

#include <atomic>

#include "platform/Platform.h"

namespace Platform {
namespace {

std::atomic<bool> sStopRequested{false};

// Runs on a thread the system starts for the event.
BOOL WINAPI NoteStopRequest(DWORD event) {
    // A second request goes to the default handler, which ends the process.
    if (sStopRequested.exchange(true)) return FALSE;
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // The process ends when this handler returns: give the host time to stop.
        Sleep(4000);
    }
    return TRUE;
}

}  // namespace

bool WatchStopRequests() {
    return SetConsoleCtrlHandler(NoteStopRequest, TRUE) != 0;
}

bool StopRequested() {
    return sStopRequested.load(std::memory_order_relaxed);
}

}  // namespace Platform
