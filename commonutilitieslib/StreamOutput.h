/// @file
/// What a StreamWriter writes through: a connected socket, or a stream layered on one (TLS).
/// Each keeps the socket's contract: a send takes what it can now (at least one byte when it
/// succeeds) or answers EAGAIN, and ArmForSending asks for the signal that says it may take
/// more.
#pragma once

#include <cstdint>

#include "Socket.h"

/// What a StreamWriter writes through; see the file's description. Not owned by the writer.
class StreamOutput {
public:
    /// As Socket::Send: 0 with at least one byte taken, EAGAIN, or the error.
    virtual int32_t Send(const char* data, uint32_t length, uint32_t* outLengthSent) = 0;
    /// As Socket::SendVector.
    virtual int32_t SendVector(const SocketBuffer* buffers, uint32_t count,
                               uint32_t* outLengthSent) = 0;
    /// Arms for the signal that says more may be taken: 0 or the error.
    virtual int32_t ArmForSending() = 0;

protected:
    ~StreamOutput() = default;
};

/// The plain path: the socket's own calls, one indirect call away.
class SocketOutput final : public StreamOutput {
public:
    /// Writes through the socket, which must outlive it.
    explicit SocketOutput(Socket* socket) : fSocket(socket) {}
    int32_t Send(const char* data, uint32_t length, uint32_t* outLengthSent) override {
        return fSocket->Send(data, length, outLengthSent);
    }
    int32_t SendVector(const SocketBuffer* buffers, uint32_t count,
                       uint32_t* outLengthSent) override {
        return fSocket->SendVector(buffers, count, outLengthSent);
    }
    int32_t ArmForSending() override { return fSocket->ArmEvent(kWatchWrite); }

private:
    Socket* fSocket;
};
