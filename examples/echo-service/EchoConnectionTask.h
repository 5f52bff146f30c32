// One TCP connection of the echo service: every byte it receives goes back, in order.
// A writer bounded to one buffer holds what the peer has not yet taken: while it holds
// anything, the task stops reading and waits for the socket to become writable.
#pragma once

#include <cstdint>

#include "IdleDeadline.h"
#include "StreamWriter.h"
#include "TCPSocket.h"
#include "Task.h"
#include "TaskGroup.h"

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
    // Among the service's tasks; false once the service is stopping.
    bool JoinService();

private:
    // Arms the socket: Run's result, 0, or -1 to end when the arming failed.
    int64_t Arm(uint32_t eventBits);
    // Adds what the writer sent and holds since the last count to the service's figures.
    void CountWrites();

    TaskGroup::Member fMember{this};  // first: it leaves last, when nothing else is left
    EchoService* fService;
    TCPSocket fSocket;
    StreamWriter fWriter;  // destroyed before the socket it writes to
    IdleDeadline fIdle;    // refreshed by every read, when the service has a timeout
    bool fStarted = false;
    uint64_t fCountedSent = 0;  // the writer's figures as last counted
    uint32_t fCountedPending = 0;
    char fReadBuffer[kBufferSize];
};
