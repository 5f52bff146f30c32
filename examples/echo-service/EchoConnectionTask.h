// One TCP connection of the echo service: every byte it receives goes back, in order.
// A fixed buffer bounds what the connection holds: while the peer does not take what is
// sent back, the task stops reading and waits for the socket to become writable.
#pragma once

#include <cstdint>

#include "IdleDeadline.h"
#include "OSQueue.h"
#include "TCPSocket.h"
#include "Task.h"

class EchoService;

class EchoConnectionTask : public Task {
public:
    // Event bits: close the connection and end; the peer was silent for the idle timeout.
    static constexpr uint32_t kStopEvent = 0x00010000;
    static constexpr uint32_t kIdleEvent = 0x00020000;
    static constexpr uint32_t kBufferSize = 16 * 1024;
    // Bytes echoed in one run before other tasks get their turn.
    static constexpr uint32_t kBytesPerRun = 256 * 1024;

    explicit EchoConnectionTask(EchoService* service);
    ~EchoConnectionTask() override;

    int64_t Run() override;

    TCPSocket* GetSocket() { return &fSocket; }
    OSQueueElem* GetServiceElem() { return &fServiceElem; }

private:
    // Sends what the buffer holds. 0 when all of it went, EAGAIN when the peer must take
    // some first, or the error that ended the connection.
    int32_t SendPending();
    // Arms the socket: Run's result, 0, or -1 to end when the arming failed.
    int64_t Arm(uint32_t eventBits);

    EchoService* fService;
    TCPSocket fSocket;
    OSQueueElem fServiceElem;  // in the service's list of open connections
    IdleDeadline fIdle;        // refreshed by every read, when the service has a timeout
    bool fStarted = false;
    uint32_t fSendOffset = 0;  // the first byte not yet sent back
    uint32_t fPending = 0;     // bytes read and not yet sent back
    char fBuffer[kBufferSize];
};
