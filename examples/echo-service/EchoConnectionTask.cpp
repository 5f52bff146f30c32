#include "EchoConnectionTask.h"

#include "EchoService.h"

EchoConnectionTask::EchoConnectionTask(EchoService* service)
    : fService(service), fSocket(this, 0), fServiceElem(this) {
    SetTaskName("EchoConnection");
}

EchoConnectionTask::~EchoConnectionTask() {
    // Closed before the service hears of it: once the service has stopped, every one of
    // its sockets is closed. Whatever was still held is dropped with the connection.
    fIdle.Cancel();
    fSocket.Dispose();
    fService->Stats().RemoveBuffered(fPending);
    fService->ConnectionEnded(this);
}

int32_t EchoConnectionTask::SendPending() {
    while (fPending > 0) {
        uint32_t sent = 0;
        const int32_t error = fSocket.Send(fBuffer + fSendOffset, fPending, &sent);
        if (error != 0) return error;
        fSendOffset += sent;
        fPending -= sent;
        fService->Stats().RemoveBuffered(sent);
        fService->Stats().fBytesEchoed.fetch_add(sent, std::memory_order_relaxed);
    }
    fSendOffset = 0;
    return 0;
}

int64_t EchoConnectionTask::Arm(uint32_t eventBits) {
    // Unarmed, the connection would never be signalled again: it ends instead.
    return fSocket.ArmEvent(eventBits) == 0 ? 0 : -1;
}

int64_t EchoConnectionTask::Run() {
    // Negative ends the task; its destruction closes the socket.
    const uint32_t events = TakeEvents();
    if (!fStarted) {
        fStarted = true;
        // The listener found no message number for the connection and closed it.
        if (!fSocket.IsConnected()) {
            fService->Stats().fConnectionsTurnedAway.fetch_add(1, std::memory_order_relaxed);
            return -1;
        }
        fService->Stats().fConnectionsServed.fetch_add(1, std::memory_order_relaxed);
        fSocket.SetNoDelay();
        if (fService->GetIdleTimeoutMSec() != 0)
            fIdle.Start(this, fService->GetIdleTimeoutMSec(), kIdleEvent);
    }
    if (events & (kStopEvent | kIdleEvent)) return -1;
    uint32_t budget = kBytesPerRun;
    for (;;) {
        const int32_t sendResult = SendPending();
        if (sendResult == EAGAIN) {
            // The peer is not taking what we send: read nothing more until it does.
            return Arm(kWatchWrite);
        }
        if (sendResult != 0) return -1;  // reset or gone
        // Armed with data still waiting (the budget is spent), the socket is ready again at
        // once, and other tasks have had their turn.
        if (budget == 0) {
            return Arm(kWatchRead);
        }
        uint32_t received = 0;
        const int32_t readResult = fSocket.Read(fBuffer, kBufferSize, &received);
        if (readResult == EAGAIN) {
            return Arm(kWatchRead);
        }
        // The peer closed (or half-closed) or reset: everything it sent has gone back, so
        // closing now ends its stream after the last echoed byte.
        if (readResult != 0) return -1;
        fIdle.Refresh();
        fPending = received;
        fService->Stats().AddBuffered(received);
        budget = received >= budget ? 0 : budget - received;
    }
}
