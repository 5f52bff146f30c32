#include "EchoConnectionTask.h"

#include "EchoService.h"

EchoConnectionTask::EchoConnectionTask(EchoService* service)
    : fService(service), fSocket(this, 0), fWriter(&fSocket, kBufferSize) {
    SetTaskName("EchoConnection");
}

bool EchoConnectionTask::JoinService() {
    return fMember.Join(fService->Serving());
}

EchoConnectionTask::~EchoConnectionTask() {
    // Closed before the task leaves the service (its member goes last): once the service
    // has stopped, every one of its sockets is closed. What was still held is dropped.
    fIdle.Cancel();
    fSocket.Dispose();
    fService->Stats().RemoveBuffered(fCountedPending);
    fService->ConnectionEnded();
}

void EchoConnectionTask::CountWrites() {
    const uint64_t sent = fWriter.BytesSent();
    fService->Stats().fBytesEchoed.fetch_add(sent - fCountedSent, std::memory_order_relaxed);
    fCountedSent = sent;
    const uint32_t pending = fWriter.Pending();
    if (pending > fCountedPending) fService->Stats().AddBuffered(pending - fCountedPending);
    if (pending < fCountedPending) fService->Stats().RemoveBuffered(fCountedPending - pending);
    fCountedPending = pending;
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
    const int32_t flushed = fWriter.Flush();
    CountWrites();
    if (flushed != 0 && flushed != EAGAIN) return -1;  // reset or gone
    uint32_t budget = kBytesPerRun;
    // While the writer keeps bytes the peer is not taking what we send: read nothing more
    // until it does. The writer has armed the socket for writing.
    while (fWriter.IsDrained()) {
        // Armed with data still waiting (the budget is spent), the socket is ready again at
        // once, and other tasks have had their turn.
        if (budget == 0) {
            return Arm(kWatchRead);
        }
        uint32_t received = 0;
        const int32_t readResult = fSocket.Read(fReadBuffer, kBufferSize, &received);
        if (readResult == EAGAIN) {
            return Arm(kWatchRead);
        }
        // The peer closed (or half-closed) or reset: everything it sent has gone back, so
        // closing now ends its stream after the last echoed byte.
        if (readResult != 0) return -1;
        fIdle.Refresh();
        // Drained, the writer has room for a whole buffer.
        const int32_t written = fWriter.Write(fReadBuffer, received);
        CountWrites();
        if (written != 0) return -1;
        budget = received >= budget ? 0 : budget - received;
    }
    return 0;
}
