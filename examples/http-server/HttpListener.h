// The server's listener: each accepted connection gets its own HttpConnectionTask, which
// joins the server's task group; the listener is a member too, so that the group is empty
// only once it has closed its socket.
#pragma once

#include "HttpSite.h"
#include "TCPListenerSocket.h"
#include "TaskGroup.h"

class HttpListener : public TCPListenerSocket {
public:
    HttpListener(const HttpSite* site, TaskGroup* group) : fSite(site), fGroup(group) {}
    ~HttpListener() override;

    // False when the group is stopping.
    bool JoinGroup() { return fMember.Join(fGroup); }

protected:
    Task* CreateConnectionTask(uint32_t remoteAddress, uint16_t remotePort,
                               TCPSocket** outSocket) override;

private:
    TaskGroup::Member fMember{this};  // leaves after the destructor closed the socket
    const HttpSite* fSite;
    TaskGroup* fGroup;
};
