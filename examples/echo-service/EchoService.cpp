#include "EchoService.h"

#include "EchoConnectionTask.h"
#include "EchoListener.h"
#include "EchoOptions.h"
#include "UDPEchoTask.h"

EchoService::~EchoService() {
    Stop();
}

bool EchoService::Fail(std::string* error, const std::string& text) {
    *error = text;
    Stop();
    return false;
}

bool EchoService::Start(const EchoServiceConfig& config, std::string* error) {
    if (fRunning) return Fail(error, "the service is already running");
    fRunning = true;
    fMaxConnections = config.fMaxConnections;
    fIdleTimeoutMSec = config.fIdleTimeoutMSec;
    const std::string where = AddressText(config.fBindAddress, 0);
    const bool ipv4Too = ServesIPv4Too(config.fBindAddress);

    // The datagram socket is bound first but served last, so that a failure to listen
    // leaves nothing that ran.
    if (config.fServeUDP) {
        fUDPTask = new UDPEchoTask(this);
        const int32_t result =
            fUDPTask->Bind(AtPort(config.fBindAddress, config.fUDPPort), ipv4Too);
        if (result != 0) {
            delete fUDPTask;  // never signalled: its creator's to delete
            fUDPTask = nullptr;
            return Fail(error, "cannot serve UDP on " + where + " port " +
                                   std::to_string(config.fUDPPort) + ": " +
                                   DescribeSocketError(result));
        }
        fUDPPort = fUDPTask->GetPort();
    }
    if (config.fServeTCP) {
        fListener = new EchoListener(this);
        if (config.fShareTCPPort) fListener->SharePort();
        if (ipv4Too) fListener->AcceptIPv4Too();
        const int32_t result = fListener->Listen(AtPort(config.fBindAddress, config.fTCPPort));
        if (result != 0) {
            delete fListener;
            fListener = nullptr;
            return Fail(error, "cannot serve TCP on " + where + " port " +
                                   std::to_string(config.fTCPPort) + ": " +
                                   DescribeSocketError(result));
        }
        fTCPPort = fListener->GetLocalPort();
    }
    // Its first run arms the socket.
    if (fUDPTask != nullptr) fUDPTask->Signal(Task::kReadEvent);
    return true;
}

bool EchoService::Stop(uint32_t waitMSec) {
    if (!fRunning) return true;
    fRunning = false;
    fListener = nullptr;
    fUDPTask = nullptr;
    // First no new connections: the listener closes its socket before it goes.
    fListening.Stop(TCPListenerSocket::kStopEvent);
    const bool listenerGone = fListening.WaitUntilEmpty(waitMSec);
    fServing.Stop(EchoConnectionTask::kStopEvent);
    return fServing.WaitUntilEmpty(waitMSec) && listenerGone;
}

EchoConnectionTask* EchoService::NewConnection() {
    if (fStats.fOpenConnections.load(std::memory_order_relaxed) >= fMaxConnections) {
        fStats.fConnectionsRefused.fetch_add(1, std::memory_order_relaxed);
        return nullptr;
    }
    auto* task = new EchoConnectionTask(this);
    if (!task->JoinService()) {
        delete task;  // the service is stopping; the task never ran
        fStats.fConnectionsRefused.fetch_add(1, std::memory_order_relaxed);
        return nullptr;
    }
    fStats.fOpenConnections.fetch_add(1, std::memory_order_relaxed);
    return task;
}

void EchoService::ConnectionEnded() {
    fStats.fOpenConnections.fetch_sub(1, std::memory_order_relaxed);
}
