// The Echo Protocol (RFC 862) on TCP and UDP, served by tasks of the runtime: a listener
// that gives each connection its own task, and one task for the datagrams. The runtime
// must be up (see RuntimeHost) while a service runs; several services may run at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "EchoStats.h"
#include "NetAddress.h"
#include "TaskGroup.h"

class EchoConnectionTask;
class EchoListener;
class UDPEchoTask;

struct EchoServiceConfig {
    // Its port aside. :: serves IPv4 clients too.
    NetAddress fBindAddress = NetAddress::IPv4(0x7F000001, 0);
    uint16_t fTCPPort = 0;  // 0: the system chooses
    uint16_t fUDPPort = 0;
    bool fServeTCP = true;
    bool fServeUDP = true;
    uint32_t fMaxConnections = 4096;  // further connections are closed at once
    uint32_t fIdleTimeoutMSec = 0;    // a connection silent this long is closed; 0: never
    bool fShareTCPPort = false;       // other services, in other processes too, may listen on it
};

class EchoService {
public:
    static constexpr uint32_t kStopWaitMSec = 5000;

    EchoService() = default;
    ~EchoService();  // stops the service if it still runs
    EchoService(const EchoService&) = delete;
    EchoService& operator=(const EchoService&) = delete;

    // Binds both sockets and starts serving, once per service. False with a one-line
    // reason in *error; then nothing of the service is left open or running.
    bool Start(const EchoServiceConfig& config, std::string* error);
    // Accepts no more connections, closes every socket and waits (at most waitMSec) until
    // every task of the service has ended. True when all ended in time.
    bool Stop(uint32_t waitMSec = kStopWaitMSec);

    uint16_t GetTCPPort() const { return fTCPPort; }
    uint16_t GetUDPPort() const { return fUDPPort; }
    EchoStats& Stats() { return fStats; }
    uint32_t GetLiveTasks() { return fListening.Count() + fServing.Count(); }
    // The TCP listener while the service runs; null once it stops.
    const EchoListener* GetListener() const { return fListener; }
    uint32_t GetIdleTimeoutMSec() const { return fIdleTimeoutMSec; }

    // For the service's own tasks.
    // A new connection task, among the service's tasks; null at the limit or once the
    // service is stopping. Called on the listener's thread alone.
    EchoConnectionTask* NewConnection();
    void ConnectionEnded();
    TaskGroup* Listening() { return &fListening; }
    TaskGroup* Serving() { return &fServing; }

private:
    bool Fail(std::string* error, const std::string& text);

    EchoStats fStats;
    TaskGroup fListening;  // the listener, which must be gone before connections are told
    TaskGroup fServing;    // the connections and the datagram task
    uint32_t fMaxConnections = 0;
    uint32_t fIdleTimeoutMSec = 0;
    EchoListener* fListener = nullptr;  // only until it is told to stop
    UDPEchoTask* fUDPTask = nullptr;
    bool fRunning = false;
    uint16_t fTCPPort = 0;
    uint16_t fUDPPort = 0;
};
