#include "win32ev.h"

#include <atomic>
#include <cstdlib>

#include "OSAssert.h"
#include "OSThread.h"
#include "OSTypes.h"

namespace {

constexpr char kWindowName[] = "VantorelWindow";
constexpr uint32_t kWindowCreateMessage = 0x81;  // WM_NCCREATE
constexpr uint32_t kSourceWaitMSec = 10;

constexpr int kAssertClassRegistration = 121;
constexpr int kAssertWindowCreation = 136;
constexpr int kAssertQuit = 174;

// Written once by the event loop's thread, polled by arming threads without a lock.
std::atomic<Platform::EventSourceHandle> sHiddenWindow{0};

Platform::EventSourceHandle WaitForSource() {
    Platform::EventSourceHandle source;
    while ((source = sHiddenWindow.load(std::memory_order_acquire)) == 0) {
        OSThread::Sleep(kSourceWaitMSec);
    }
    return source;
}

uint32_t NotificationMask(uint32_t eventBits) {
    uint32_t mask = 0;
    if (eventBits & kWatchRead)
        mask |= Platform::kNotifyRead | Platform::kNotifyAccept | Platform::kNotifyClose;
    if (eventBits & kWatchWrite) mask |= Platform::kNotifyWrite | Platform::kNotifyConnect;
    return mask;
}

Platform::EventSourceHandle CreateSource() {
    if (!Platform::RegisterEventWindowClass(kWindowName, HiddenWindowProc)) {
        AssertAt(false, kAssertClassRegistration);
        std::exit(-1);
    }
    const Platform::EventSourceHandle source =
        Platform::CreateEventWindow(kWindowName, kWindowName);
    if (source == 0) {
        AssertAt(false, kAssertWindowCreation);
        std::exit(-1);
    }
    sHiddenWindow.store(source, std::memory_order_release);
    return source;
}

}  // namespace

void InitEventSource() {}

int32_t RewatchSocket(EventRequest* request, uint32_t eventBits) {
    const Platform::EventSourceHandle source = WaitForSource();
    return Platform::SelectSocketEvents(source, request->fSocket, request->fMessage,
                                        NotificationMask(eventBits));
}

int32_t WatchSocket(EventRequest* request, uint32_t eventBits) {
    const Platform::EventSourceHandle source = WaitForSource();
    return Platform::RegisterSocketEvents(source, request->fSocket, request->fMessage,
                                          NotificationMask(eventBits));
}

int32_t UnwatchSocket(int32_t socket) {
    Platform::ForgetSocket(socket);
    return 0;
}

int32_t TakeEvent(EventRequest* request, Bool16 wait) {
    Platform::EventSourceHandle source = sHiddenWindow.load(std::memory_order_relaxed);
    if (source == 0) source = CreateSource();

    for (;;) {
        uint32_t message = 0;
        int32_t socket = -1;
        switch (Platform::GetEventMessage(source, wait != 0, &message, &socket)) {
            case Platform::MessageStatus::kMessage:
                // Another sender's message is no socket notification: it names no socket
                // of ours, and switching off the one it happens to name would silence it.
                if (message < kFirstSocketMessage || message > kLastSocketMessage) continue;
                request->fSocket = socket;
                request->fEventBits = kWatchRead;
                request->fMessage = message;
                return 0;
            case Platform::MessageStatus::kNone:
                return EAGAIN;
            case Platform::MessageStatus::kQuit:
                AssertAt(false, kAssertQuit);
                return EINTR;
            case Platform::MessageStatus::kInterrupted:
                return EINTR;
            case Platform::MessageStatus::kFailed: {
                const int32_t error = OSThread::LastErrorCode();
                return error != 0 ? error : kErrNotConnected;  // a failure, whatever it says
            }
        }
    }
}

void SwitchOffDeliveredSocket(const EventRequest* request) {
    Platform::DisarmDeliveredSocket(sHiddenWindow.load(std::memory_order_relaxed),
                                    request->fSocket);
}

int32_t WaitForEvent(EventRequest* request) {
    const int32_t result = TakeEvent(request, 1);
    if (result == 0) SwitchOffDeliveredSocket(request);
    return result;
}

Bool16 PostEventMessage(uint32_t message, int32_t socket) {
    return Platform::PostEventMessage(WaitForSource(), message, socket) ? 1 : 0;
}

intptr_t CU_WINAPI HiddenWindowProc(void*, uint32_t message, uintptr_t, intptr_t) {
    return message == kWindowCreateMessage ? 1 : 0;
}
