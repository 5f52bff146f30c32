// What a connection reads and writes through: the socket itself, or TLS on it. The
// connection's logic is the same for both; only this object knows which one it has.
#pragma once

#include <cstdint>

#include "StreamOutput.h"
#include "TCPSocket.h"

class HttpTransport {
public:
    virtual ~HttpTransport() = default;

    // Where a writer sends; it lives as long as the transport.
    virtual StreamOutput* Output() = 0;
    // As Socket::Read: 0 with bytes, EAGAIN when there are none for now, or the error.
    virtual int32_t Read(void* buffer, uint32_t size, uint32_t* outLengthRead) = 0;
    // Arms the socket for the bits and for whatever the transport itself waits for.
    virtual int32_t ArmEvent(uint32_t eventBits) = 0;
    // Says that nothing more will be sent (TLS: close_notify): 0 once said, EAGAIN while it
    // waits for room (arm for writing and call again), or the error. The socket's own
    // shutdown is the caller's.
    virtual int32_t EndSending() = 0;
};

// Plain HTTP: the socket's own calls.
class SocketTransport final : public HttpTransport {
public:
    explicit SocketTransport(TCPSocket* socket) : fSocket(socket), fOutput(socket) {}

    StreamOutput* Output() override { return &fOutput; }
    int32_t Read(void* buffer, uint32_t size, uint32_t* outLengthRead) override {
        return fSocket->Read(buffer, size, outLengthRead);
    }
    int32_t ArmEvent(uint32_t eventBits) override { return fSocket->ArmEvent(eventBits); }
    int32_t EndSending() override { return 0; }

private:
    TCPSocket* fSocket;
    SocketOutput fOutput;
};
