#include "EchoListener.h"

#include "EchoConnectionTask.h"
#include "EchoService.h"

EchoListener::~EchoListener() {
    // Closed before the service hears of it, so no connection is accepted after the
    // service has stopped.
    Dispose();
    fService->ListenerEnded();
}

Task* EchoListener::CreateConnectionTask(uint32_t, uint16_t, TCPSocket** outSocket) {
    EchoConnectionTask* task = fService->NewConnection();
    if (task == nullptr) return nullptr;
    *outSocket = task->GetSocket();
    return task;
}
