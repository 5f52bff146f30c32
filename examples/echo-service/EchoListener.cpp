#include "EchoListener.h"

#include "EchoConnectionTask.h"
#include "EchoService.h"

EchoListener::EchoListener(EchoService* service) : fService(service) {
    fMember.Join(service->Listening());
}

EchoListener::~EchoListener() {
    // Closed before it leaves the service, so no connection is accepted after the service
    // has stopped.
    Dispose();
}

Task* EchoListener::CreateConnectionTask(uint32_t, uint16_t, TCPSocket** outSocket) {
    EchoConnectionTask* task = fService->NewConnection();
    if (task == nullptr) return nullptr;
    *outSocket = task->GetSocket();
    return task;
}
