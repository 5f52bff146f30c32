#include "EchoService.h"

#include "EchoConnectionTask.h"
#include "EchoListener.h"
#include "EchoOptions.h"
#include "OS.h"
#include "OSThread.h"
#include "UDPEchoTask.h"

namespace {

constexpr uint32_t kPollMSec = 5;

}  // namespace

std::string DescribeSocketError(int32_t error) {
    switch (error) {
        case kErrAddressInUse:
            return "the port is in use";
        case kErrAddressNotAvailable:
            return "the address is not one of this host's";
        case EMFILE:
            return "too many open files";
        case kErrNoMessageNumber:
            return "every message number of the process is in use";
        default:
            return "error " + std::to_string(error);
    }
}

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
    const std::string where = AddressText(config.fBindAddress);
    // The datagram socket is bound first but served last, so that a failure to listen
    // leaves nothing that ran.
    if (config.fServeUDP) {
        fUDPTask = new UDPEchoTask(this);
        fLiveTasks.fetch_add(1);
        const int32_t result = fUDPTask->Bind(config.fBindAddress, config.fUDPPort);
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
        {
            OSMutexLocker locker(&fMutex);
            fAccepting = true;
        }
        fListener = new EchoListener(this);
        fLiveTasks.fetch_add(1);
        fListenerLive = true;
        const int32_t result = fListener->Listen(config.fBindAddress, config.fTCPPort);
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
    bool intime = true;
    {
        OSMutexLocker locker(&fMutex);
        fAccepting = false;
    }
    // First no new connections: the listener closes its socket before it goes.
    if (fListener != nullptr) {
        fListener->StopListening();
        fListener = nullptr;
        const int64_t deadline = OS::Milliseconds() + waitMSec;
        while (fListenerLive.load(std::memory_order_acquire) && OS::Milliseconds() < deadline)
            OSThread::Sleep(kPollMSec);
        intime = !fListenerLive.load(std::memory_order_acquire);
    }
    {
        OSMutexLocker locker(&fMutex);
        for (OSQueueIterator it(&fConnections); !it.IsDone(); it.Next()) {
            static_cast<EchoConnectionTask*>(it.GetCurrent()->GetEnclosingObject())
                ->Signal(EchoConnectionTask::kStopEvent);
        }
    }
    if (fUDPTask != nullptr) {
        fUDPTask->Signal(UDPEchoTask::kStopEvent);
        fUDPTask = nullptr;
    }
    return WaitForLiveTasks(0, waitMSec) && intime;
}

bool EchoService::WaitForLiveTasks(uint32_t count, uint32_t waitMSec) {
    const int64_t deadline = OS::Milliseconds() + waitMSec;
    while (fLiveTasks.load(std::memory_order_acquire) > count) {
        if (OS::Milliseconds() >= deadline) return false;
        OSThread::Sleep(kPollMSec);
    }
    return true;
}

EchoConnectionTask* EchoService::NewConnection() {
    OSMutexLocker locker(&fMutex);
    if (!fAccepting || fConnections.GetLength() >= fMaxConnections) {
        fStats.fConnectionsRefused.fetch_add(1, std::memory_order_relaxed);
        return nullptr;
    }
    auto* task = new EchoConnectionTask(this);
    fConnections.Enqueue(task->GetServiceElem());
    fLiveTasks.fetch_add(1);
    fStats.fOpenConnections.fetch_add(1, std::memory_order_relaxed);
    return task;
}

void EchoService::ConnectionEnded(EchoConnectionTask* task) {
    {
        OSMutexLocker locker(&fMutex);
        fConnections.Remove(task->GetServiceElem());
    }
    fStats.fOpenConnections.fetch_sub(1, std::memory_order_relaxed);
    TaskEnded();
}

void EchoService::ListenerEnded() {
    fListenerLive.store(false, std::memory_order_release);
    TaskEnded();
}

// The last thing a task does with the service: after it, Stop may return.
void EchoService::TaskEnded() {
    fLiveTasks.fetch_sub(1, std::memory_order_acq_rel);
}
