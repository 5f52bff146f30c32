// The test's end of a loopback stream: a non-blocking platform socket whose every wait has
// a deadline; and a stream pair whose other end is a socket of the runtime.
#pragma once

#include <string_view>

#include "NetAddress.h"
#include "Socket.h"
#include "support/Loopback.h"
#include "support/TaskProbe.h"

class StreamPeer {
public:
    using Limit = std::chrono::milliseconds;
    static constexpr Limit kLimit{10000};

    StreamPeer() = default;
    ~StreamPeer() { Close(); }
    StreamPeer(const StreamPeer&) = delete;
    StreamPeer& operator=(const StreamPeer&) = delete;

    // Connects to 127.0.0.1:port, or the address (blocking), then switches to non-blocking.
    bool Connect(uint16_t port);
    bool Connect(const NetAddress& address);
    void Close();
    void CloseWithReset();  // the other side sees a reset, not an orderly end
    Platform::SocketHandle Handle() const { return fSocket; }

    bool SendAll(std::string_view data) { return Pump(data, nullptr, 0, kLimit) == kDone; }
    // Exactly `count` more bytes appended to *out.
    bool ReceiveExactly(size_t count, std::string* out, Limit limit = kLimit) {
        return Pump({}, out, out->size() + count, limit) == kDone;
    }
    // Reads until the other side ends the stream (closed or reset).
    bool ReceiveUntilClosed(std::string* out) { return Pump({}, out, SIZE_MAX, kLimit) == kEnded; }
    // Sends the data while reading, until as many bytes came back.
    bool Exchange(std::string_view data, std::string* echoed) {
        return Pump(data, echoed, echoed->size() + data.size(), kLimit) == kDone;
    }
    // Sends the pattern over and over until the other side takes nothing; the bytes sent.
    size_t PushUntilStalled(const std::string& pattern);

private:
    friend struct StreamPair;
    enum Outcome { kDone, kEnded, kTimedOut };
    Outcome Pump(std::string_view data, std::string* out, size_t target, Limit limit);
    // Bytes sent now without waiting (0 when the socket is full), or -1 on an error.
    int64_t SendSome(const char* data, size_t length);

    Platform::SocketHandle fSocket = Platform::kInvalidSocket;
};

// `count` peers connected to 127.0.0.1:port; fewer when a connection failed.
std::vector<std::unique_ptr<StreamPeer>> ConnectPeers(uint16_t port, size_t count);

// A runtime socket that can mark itself connected again, as a subclass that connects does.
class ConnectableSocket : public Socket {
public:
    using Socket::Socket;
    void MarkConnected() { fFlags |= kSocketConnected; }
};

// A loopback connection: the runtime's end, signalling a probe task, and the test's peer.
struct StreamPair {
    explicit StreamPair(uint32_t flags = Socket::kSocketConnected | Socket::kSocketNonBlocking);
    // Unregisters the socket before its destruction begins: a delivery to it may be under
    // way, and the event loop calls it through its virtual table.
    ~StreamPair() { fSocket.Dispose(); }
    // Arms the runtime's end for reading and waits until its task ran.
    bool WaitReadable();

    bool fMade = false;
    TaskProbe fTask;
    ConnectableSocket fSocket;  // destroyed before the task it signals
    StreamPeer fPeer;
};
