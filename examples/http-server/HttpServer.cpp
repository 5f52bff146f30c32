#include "HttpServer.h"

#include "CommandLine.h"
#include "HttpConnectionTask.h"
#include "HttpListener.h"
#include "HttpTLS.h"
#include "OSTypes.h"

bool HttpServer::Start(const HttpServerConfig& config, std::string* error) {
    if (fStarted) {
        *error = "the server has been started before";
        return false;
    }
    fStarted = true;
    fSite = config.fSite;
    fListener = new HttpListener(&fSite, &fGroup);
    fListener->JoinGroup();  // a group that never stopped takes it
    if (fSite.fTLS != nullptr) fSite.fTLS->StartLog(&fGroup);
    if (config.fSharePort) fListener->SharePort();
    if (ServesIPv4Too(config.fBindAddress)) fListener->AcceptIPv4Too();
    const int32_t result = fListener->Listen(AtPort(config.fBindAddress, config.fPort));
    if (result != 0) {
        delete fListener;  // never ran: its creator's to delete
        fListener = nullptr;
        *error = "cannot listen on port " + std::to_string(config.fPort) + ": " +
                 DescribeSocketError(result);
        return false;
    }
    fPort = fListener->GetLocalPort();
    return true;
}

bool HttpServer::Stop(uint32_t waitMSec) {
    if (fListener != nullptr) {
        fListener->StopListening();  // it may be gone at any moment from here on
        fListener = nullptr;
    }
    // A connection the listener makes meanwhile finds the group stopping and is closed.
    fGroup.Stop(HttpConnectionTask::kStopEvent);
    return fGroup.WaitUntilEmpty(waitMSec);
}
