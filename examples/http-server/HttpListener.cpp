#include "HttpListener.h"

#include "HttpConnectionTask.h"

HttpListener::~HttpListener() {
    // Closed before the group hears of it, so no connection is accepted once it is empty.
    Dispose();
}

Task* HttpListener::CreateConnectionTask(uint32_t, uint16_t, TCPSocket** outSocket) {
    auto* task = new HttpConnectionTask(fSite);
    // The server is stopping: the connection is closed unserved.
    if (!task->JoinGroup(fGroup)) {
        delete task;
        return nullptr;
    }
    *outSocket = task->GetSocket();
    return task;
}
