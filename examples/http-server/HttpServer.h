// The HTTP server: a listener and the connections it accepts, all members of one task
// group, so that stopping is: no new connections, every connection told to end, a bounded
// wait for the group to empty. A server starts once.
#pragma once

#include <cstdint>
#include <string>

#include "HttpSite.h"
#include "NetAddress.h"
#include "TaskGroup.h"

class HttpListener;

struct HttpServerConfig {
    // Its port aside. :: serves IPv4 clients too.
    NetAddress fBindAddress = NetAddress::IPv4(0x7F000001, 0);
    uint16_t fPort = 8080;    // 0: the system chooses
    bool fSharePort = false;  // other processes may listen on the port too
    HttpSite fSite;
};

class HttpServer {
public:
    static constexpr uint32_t kStopWaitMSec = 5000;

    HttpServer() = default;
    ~HttpServer() { Stop(); }
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Listens and serves; false with a one-line reason in *error.
    bool Start(const HttpServerConfig& config, std::string* error);
    // True when every connection ended (and the listener closed) within the wait.
    bool Stop(uint32_t waitMSec = kStopWaitMSec);

    uint16_t GetPort() const { return fPort; }
    uint32_t GetTaskCount() { return fGroup.Count(); }

private:
    HttpSite fSite;  // read by the connections until they have ended
    TaskGroup fGroup;
    HttpListener* fListener = nullptr;  // only until it is told to stop
    uint16_t fPort = 0;
    bool fStarted = false;
};
