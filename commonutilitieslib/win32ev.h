/// @file
/// The runtime's source of socket readiness: a socket is armed for one notification under
/// its own message number, and one thread takes the notifications one at a time.
#pragma once

#include <cstdint>

#include "OSTypes.h"
#include "platform/Platform.h"

/// The record a socket's owner hands to the watch calls, and the one the waiting thread
/// has filled. Seven 32-bit words.
struct EventRequest {
    uint32_t fWatchRecord = 0;          ///< Set to 1 by an event context for its first watch.
    int32_t fSocket = 0;                ///< The socket's handle; -1 is no socket.
    uint32_t fMessage = 0;              ///< 0 in the waiting thread's record: nothing taken yet.
    uint32_t fReserved[3] = {0, 0, 0};  ///< Unused, 0.
    uint32_t fEventBits = 0;            ///< On a watch the bits asked for, on delivery kWatchRead.
};
static_assert(sizeof(EventRequest) == 28, "an EventRequest is seven 32-bit words");

constexpr uint32_t kWatchRead = 1;   ///< Readable, accepted, closed.
constexpr uint32_t kWatchWrite = 2;  ///< Writable, connected.

/// The first of the message numbers that carry socket notifications; the source passes over
/// any other.
constexpr uint32_t kFirstSocketMessage = 1024;
constexpr uint32_t kLastSocketMessage = 8192;  ///< The last socket message number.

/// Nothing to do: the first WaitForEvent creates the source.
void InitEventSource();

/// Arm a socket for one notification of the given bits (0 switches it off): WatchSocket for
/// a socket's first watch (whatever the source remembers of an earlier socket with the same
/// handle is dropped), RewatchSocket afterwards. Until the event loop has created the source
/// they wait for it, looking every 10 ms. Return 0, or non-zero with the platform's error
/// available to OSThread::LastErrorCode.
int32_t WatchSocket(EventRequest* request, uint32_t eventBits);
/// Arms a socket watched before; see WatchSocket.
int32_t RewatchSocket(EventRequest* request, uint32_t eventBits);

/// Always 0: a taken notification already switches its socket off, and a closed socket
/// posts no further notification.
int32_t UnwatchSocket(int32_t socket);

/// Takes the next notification into the request (socket, message number, kWatchRead) and
/// switches its socket off. 0, EINTR when the wait was interrupted, or the error of a wait
/// that failed. Called by one thread only, which owns the source from its first call on.
int32_t WaitForEvent(EventRequest* request);

/// WaitForEvent in two steps, for a caller that first checks that the notification is still
/// meant for the socket it names: TakeEvent leaves the socket as it is, and
/// SwitchOffDeliveredSocket switches it off. Without `wait`, TakeEvent answers EAGAIN at
/// once when no notification is ready.
int32_t TakeEvent(EventRequest* request, Bool16 wait);
/// The second step after TakeEvent: switches the delivered socket off.
void SwitchOffDeliveredSocket(const EventRequest* request);

/// Test seam: posts a message with any number naming the socket, as another sender might:
/// lets tests show that messages the runtime did not ask for change nothing. True when
/// posted; waits for the source like a watch. For tests only.
Bool16 PostEventMessage(uint32_t message, int32_t socket);

/// The hidden window's procedure (Windows): 1 to WM_NCCREATE, 0 to everything else.
intptr_t CU_WINAPI HiddenWindowProc(void* window, uint32_t message, uintptr_t wParam,
                                    intptr_t lParam);
