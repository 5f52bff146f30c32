#include "LoadClient.h"

#include "EchoOptions.h"
#include "LoadConnectionTask.h"
#include "LoadDatagramTask.h"

namespace {

constexpr uint32_t kLargestDatagram = 65507;

}  // namespace

bool IsLoadTarget(const NetAddress& target, std::string* error) {
    const NetAddress plain = target.Unmapped();
    if (plain.IsIPv6() ? plain == NetAddress::IPv6Loopback(plain.GetPort())
                       : plain.GetIPv4() >> 24 == 127)
        return true;
    *error = "target " + AddressText(target, 0) +
             " is not a loopback address: the load client only drives 127.0.0.0/8 and ::1";
    return false;
}

LoadClient::~LoadClient() {
    Stop();
}

bool LoadClient::Start(const LoadConfig& config, std::string* error) {
    if (fRunning) {
        *error = "the load client is already running";
        return false;
    }
    // This client sends only to this machine, whoever asks.
    if (!IsLoadTarget(config.fTargetAddress, error)) return false;
    if (config.fWindow > 0 && (config.fDatagramSize < LoadDatagramTask::kHeaderSize ||
                               config.fDatagramSize > kLargestDatagram)) {
        *error = "datagram size must lie between 12 and 65507 bytes";
        return false;
    }
    if (config.fConnections > 0 && config.fMessageSize == 0) {
        *error = "message size must be at least 1 byte";
        return false;
    }
    fConfig = config;
    fRunning = true;
    fTasks.reserve(config.fConnections + config.fIdleConnections + 1);
    // A mapped address is reached over IPv4, as the IPv4 address it stands for.
    const NetAddress target = config.fTargetAddress.Unmapped();
    const NetAddress tcp = AtPort(target, config.fTCPPort);
    for (uint32_t i = 0; i < config.fConnections; ++i)
        fTasks.push_back(new LoadConnectionTask(this, i, tcp, config.fMessageSize));
    for (uint32_t i = 0; i < config.fIdleConnections; ++i)
        fTasks.push_back(new LoadConnectionTask(this, config.fConnections + i, tcp, 0));
    if (config.fWindow > 0) {
        fDatagramTask = new LoadDatagramTask(this, AtPort(target, config.fUDPPort), config.fWindow,
                                             config.fDatagramSize);
        fTasks.push_back(fDatagramTask);
    }
    // The first run of each connects or opens its socket.
    for (Task* task : fTasks)
        task->Signal(Task::kReadEvent);
    return true;
}

void LoadClient::Tick() {
    if (fRunning && fDatagramTask != nullptr) fDatagramTask->Signal(LoadDatagramTask::kCheckEvent);
}

bool LoadClient::Stop(uint32_t waitMSec) {
    if (!fRunning) return true;
    fRunning = false;
    // Every task is alive until this signal: none ends on its own.
    fTasks.clear();
    fDatagramTask = nullptr;
    fGroup.Stop(LoadConnectionTask::kStopEvent);
    return fGroup.WaitUntilEmpty(waitMSec);
}
