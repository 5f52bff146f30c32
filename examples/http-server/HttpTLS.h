// The server's TLS: the context every connection's stream is made with, and the count of
// failed handshakes, logged by a task of the server's group as one line per burst, once a
// second at most, so that a flood of bad peers costs a line, not a line each.
#pragma once

#include <cstdint>
#include <string>

#include "HttpTransport.h"
#include "OSMutex.h"
#include "TCPSocket.h"
#include "TaskGroup.h"

class TLSContext;
struct HttpOptions;

class HttpTLS {
public:
    static constexpr uint32_t kLogIntervalMSec = 1000;

    // False in a build without TLS, where Make always fails.
    static bool IsBuilt();
    // The server's side from the options' PEM files (the certificate with its chain, the
    // key and its password's file); null with a one-line reason in *error.
    static HttpTLS* Make(const HttpOptions& options, std::string* error);
    ~HttpTLS();
    HttpTLS(const HttpTLS&) = delete;
    HttpTLS& operator=(const HttpTLS&) = delete;

    // A connection's transport: the server's side of TLS over the socket (any thread).
    HttpTransport* NewTransport(TCPSocket* socket);
    // Starts the log as a member of the group, which ends it with the server; false when
    // the group is stopping.
    bool StartLog(TaskGroup* group);
    // Counts a handshake that failed, and why (any thread).
    void HandshakeFailed(const char* reason);

private:
    class FailureLog;

    explicit HttpTLS(TLSContext* context) : fContext(context) {}
    // Prints the failures counted since the last line; false when there were none. The
    // last report also lets the log go.
    bool Report(bool last);

    TLSContext* fContext;
    OSMutex fMutex;              // guards what follows
    FailureLog* fLog = nullptr;  // signalled when the first failure of a burst comes
    uint32_t fFailed = 0;
    std::string fLastReason;
};
