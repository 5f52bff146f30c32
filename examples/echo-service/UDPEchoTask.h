// The UDP side of the echo service: every datagram goes back to its sender. When the
// socket cannot send, the datagram in hand is kept and nothing more is received until it
// has gone.
#pragma once

#include <cstdint>

#include "Task.h"
#include "TaskGroup.h"
#include "UDPSocket.h"

class EchoService;

class UDPEchoTask : public Task {
public:
    static constexpr uint32_t kStopEvent = 0x00010000;
    static constexpr uint32_t kLargestDatagram = 65535;
    // Datagrams echoed in one run before other tasks get their turn.
    static constexpr uint32_t kDatagramsPerRun = 8;

    explicit UDPEchoTask(EchoService* service);
    ~UDPEchoTask() override;

    // Opens the socket and binds it; an IPv6 one takes IPv4 datagrams too when asked. 0 or
    // the error; the task has not run yet, so on failure its creator deletes it.
    int32_t Bind(const NetAddress& address, bool ipv4Too);
    uint16_t GetPort() const { return fSocket.GetLocalPort(); }

    int64_t Run() override;

private:
    TaskGroup::Member fMember{this};  // first: it leaves last, when nothing else is left
    EchoService* fService;
    UDPSocket fSocket;
    bool fHolding = false;  // a received datagram waits to be sent back
    NetAddress fSender;
    uint32_t fLength = 0;
    char fBuffer[kLargestDatagram];
};
