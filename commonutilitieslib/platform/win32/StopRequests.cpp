// Stop requests on Windows: console control events.
#include <windows.h>

#include <atomic>
#include <mutex>

#include "platform/Platform.h"

namespace Platform {
namespace {

std::atomic<bool> sStopRequested{false};
// Set, for good, at the first request: waiters block on it.
HANDLE sRequested = nullptr;
std::once_flag sEventMade;

void MakeEvent() {
    sRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

// Runs on a thread the system starts for the event.
BOOL WINAPI NoteStopRequest(DWORD event) {
    // A second request goes to the default handler, which ends the process.
    if (sStopRequested.exchange(true)) return FALSE;
    if (sRequested != nullptr) SetEvent(sRequested);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // The process ends when this handler returns: give the host time to stop.
        Sleep(4000);
    }
    return TRUE;
}

}  // namespace

bool WatchStopRequests() {
    std::call_once(sEventMade, MakeEvent);
    return SetConsoleCtrlHandler(NoteStopRequest, TRUE) != 0;
}

bool StopRequested() {
    return sStopRequested.load(std::memory_order_relaxed);
}

void RequestStop() {
    std::call_once(sEventMade, MakeEvent);
    if (!sStopRequested.exchange(true) && sRequested != nullptr) SetEvent(sRequested);
}

bool WaitForStopRequest(uint32_t timeoutMSec) {
    std::call_once(sEventMade, MakeEvent);
    if (sRequested != nullptr && !StopRequested()) WaitForSingleObject(sRequested, timeoutMSec);
    return StopRequested();
}

}  // namespace Platform
