// The echo service's TCP listener: each accepted connection gets its own
// EchoConnectionTask.
#pragma once

#include "TCPListenerSocket.h"
#include "TaskGroup.h"

class EchoService;

class EchoListener : public TCPListenerSocket {
public:
    explicit EchoListener(EchoService* service);
    ~EchoListener() override;

protected:
    Task* CreateConnectionTask(uint32_t remoteAddress, uint16_t remotePort,
                               TCPSocket** outSocket) override;

private:
    TaskGroup::Member fMember{this};  // first: it leaves last
    EchoService* fService;
};
