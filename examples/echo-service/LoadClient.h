// The load client: drives an echo service over loopback with connections that each keep
// one message in flight, idle connections, and a window of datagrams, verifying every
// byte that comes back. The runtime must be up (see RuntimeHost).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "LoadStats.h"
#include "NetAddress.h"
#include "TaskGroup.h"

class Task;
class LoadDatagramTask;

struct LoadConfig {
    NetAddress fTargetAddress = NetAddress::IPv4(0x7F000001, 0);  // its port aside; loopback only
    uint16_t fTCPPort = 0;
    uint16_t fUDPPort = 0;
    uint32_t fConnections = 8;
    uint32_t fMessageSize = 64;
    uint32_t fIdleConnections = 0;
    uint32_t fWindow = 8;
    uint32_t fDatagramSize = 512;
};

class LoadClient {
public:
    static constexpr uint32_t kStopWaitMSec = 5000;

    LoadClient() = default;
    ~LoadClient();  // stops the client if it still runs
    LoadClient(const LoadClient&) = delete;
    LoadClient& operator=(const LoadClient&) = delete;

    // Starts every task. False with a one-line reason in *error (a target that is not a
    // loopback address, sizes out of range); nothing was started then.
    bool Start(const LoadConfig& config, std::string* error);
    // Lets the datagram task notice losses; call it a few times a second.
    void Tick();
    // Ends every task (messages in flight are abandoned) and waits at most waitMSec for
    // them. True when all ended in time.
    bool Stop(uint32_t waitMSec = kStopWaitMSec);

    LoadStats& Stats() { return fStats; }
    const LoadConfig& Config() const { return fConfig; }

    // For the client's own tasks, which join it when made.
    TaskGroup* Tasks() { return &fGroup; }

private:
    LoadConfig fConfig;
    LoadStats fStats;
    std::vector<Task*> fTasks;  // each lives until its stop event
    TaskGroup fGroup;
    LoadDatagramTask* fDatagramTask = nullptr;
    bool fRunning = false;
};

// True for a loopback address: 127.0.0.0/8 or ::1, or either IPv4-mapped. Otherwise false
// with the reason in *error: the load client sends to this machine alone.
bool IsLoadTarget(const NetAddress& target, std::string* error);
