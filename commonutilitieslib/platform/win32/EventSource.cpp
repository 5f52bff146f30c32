// The readiness source on Windows: a hidden window that WSAAsyncSelect posts to.
// <winsock2.h> comes before <windows.h>, which would otherwise bring the old Winsock in.
#include <winsock2.h>

#include <windows.h>

#include "platform/FaultInjection.h"
#include "platform/Platform.h"

namespace Platform {

bool RegisterEventWindowClass(const char* className, WindowProcedure procedure) {
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = reinterpret_cast<WNDPROC>(procedure);
    windowClass.lpszClassName = className;
    return RegisterClassExA(&windowClass) != 0;
}

EventSourceHandle CreateEventWindow(const char* className, const char* windowName) {
    const HWND window = CreateWindowExA(0, className, windowName, WS_POPUP, 0, 0, CW_USEDEFAULT,
                                        CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
    return EventSourceHandle(window);
}

MessageStatus GetEventMessage(EventSourceHandle source, bool wait, uint32_t* message,
                              int32_t* socket) {
    MSG windowMessage;
    if (wait) {
        CU_FAULT_POINT_RETURNING(kWaitEvents, MessageStatus::kFailed);
        const BOOL result = GetMessageA(&windowMessage, HWND(source), 0, 0);
        if (result == 0) return MessageStatus::kQuit;
        if (result < 0) return MessageStatus::kFailed;
    } else {
        if (!PeekMessageA(&windowMessage, HWND(source), 0, 0, PM_REMOVE))
            return MessageStatus::kNone;
        if (windowMessage.message == WM_QUIT) return MessageStatus::kQuit;
    }
    *message = uint32_t(windowMessage.message);
    *socket = int32_t(windowMessage.wParam);
    return MessageStatus::kMessage;
}

int SelectSocketEvents(EventSourceHandle source, int32_t socket, uint32_t message, uint32_t mask) {
    CU_FAULT_POINT(kSelectEvents);
    return WSAAsyncSelect(SOCKET(socket), HWND(source), UINT(message), LONG(mask)) == 0 ? 0 : -1;
}

int RegisterSocketEvents(EventSourceHandle source, int32_t socket, uint32_t message,
                         uint32_t mask) {
    return SelectSocketEvents(source, socket, message, mask);
}

void DisarmDeliveredSocket(EventSourceHandle source, int32_t socket) {
    WSAAsyncSelect(SOCKET(socket), HWND(source), 0, 0);
}

void ForgetSocket(int32_t) {
    // A closed socket posts nothing more; the window keeps no record of its own.
}

bool PostEventMessage(EventSourceHandle source, uint32_t message, int32_t socket) {
    return PostMessageA(HWND(source), UINT(message), WPARAM(socket), 0) != 0;
}

void DeferWakeUps() {
    // Windows has no such hint short of a lower priority, which could starve the loop.
}

}  // namespace Platform
