/// @file
/// A TLS connection over a connected stream socket, read and written as the socket is: a
/// task reads until a read would block (EAGAIN), sends what the stream takes, and arms
/// through the stream, which adds what TLS itself waits for. The handshake and every record
/// move only when the socket is ready, and every byte goes through the socket's own Read and
/// Send, so the readiness source sees every read.
///
/// Encrypted bytes the socket did not take are kept by the stream (a record or a handshake
/// flight at most: Send takes nothing more until they have gone), and sent first by every
/// later call. It belongs to the task that owns the socket, like the socket's own calls.
///
///     TLSStream fTls{sServerContext, &fSocket};
///     StreamWriter fWriter{&fTls, 16 * 1024};  // writes through the stream
///
///     int64_t EchoTask::Run() {
///         const int32_t flushed = fWriter.Flush();
///         if (flushed != 0 && flushed != EAGAIN) return -1;
///         uint32_t received = 0;
///         while (fWriter.IsDrained()) {
///             const int32_t result = fTls.Read(fBuffer, sizeof(fBuffer), &received);
///             if (result == EAGAIN) return fTls.ArmEvent(kWatchRead) == 0 ? 0 : -1;
///             if (result != 0) return -1;  // closed (kErrNotConnected) or failed
///             if (fWriter.Write(fBuffer, received) != 0) return -1;
///         }
///         return 0;  // the writer armed for writing
///     }
#pragma once

#include <cstdint>

#include "StrPtrLen.h"
#include "StreamOutput.h"
#include "TLSContext.h"

struct ssl_st;
struct bio_st;
struct bio_method_st;

/// A TLS connection over a socket; see the file's description.
class TLSStream final : public StreamOutput {
public:
    /// Plaintext taken by one Send, at most: one full record.
    static constexpr uint32_t kRecordSize = 16 * 1024;

    /// Starts the server or client side, as the context's role says, on a connected socket;
    /// both must outlive the stream. A client names the server it connects to (a host name or
    /// an address's text), which is checked against its certificate when the context
    /// verifies; a verifying client without a name fails. A failure here (Error() says which)
    /// is returned by every call.
    TLSStream(TLSContext* context, Socket* socket, const char* peerName = nullptr);
    ~TLSStream();
    TLSStream(const TLSStream&) = delete;
    TLSStream& operator=(const TLSStream&) = delete;

    /// Moves the handshake on: 0 once it is done, EAGAIN while it waits for the socket (arm
    /// through ArmEvent), or the error: kErrTLSVerifyFailed when the peer's certificate did
    /// not verify, kErrTLSFailed for any other TLS failure, or the socket's error. Read and
    /// Send call it themselves.
    int32_t Handshake();

    /// As Socket::Read: 0 with at least one byte, EAGAIN once the socket is empty, or the
    /// error: kErrNotConnected after the peer's close_notify, kErrTLSFailed for a stream
    /// cut without one (or any other TLS failure), or the socket's error.
    int32_t Read(void* buffer, uint32_t size, uint32_t* outLengthRead);
    /// As Socket::Send: 0 with up to a record of plaintext taken, EAGAIN while encrypted bytes
    /// wait for the socket, or the error.
    int32_t Send(const char* data, uint32_t length, uint32_t* outLengthSent) override;
    /// Send of the buffers: it gathers small pieces into a record.
    int32_t SendVector(const SocketBuffer* buffers, uint32_t count,
                       uint32_t* outLengthSent) override;
    /// ArmEvent(kWatchWrite).
    int32_t ArmForSending() override { return ArmEvent(kWatchWrite); }

    /// Arms the socket for the bits, and for what the stream waits for besides: writing while
    /// it keeps encrypted bytes, reading (and not writing) while the handshake is under way.
    /// Armed for reading with bytes already inside the stream, the task is signalled at once.
    int32_t ArmEvent(uint32_t eventBits);

    /// Sends close_notify (once) and what is kept: 0 once it has gone, EAGAIN while the
    /// socket is full (arm and call again), or the error. The socket stays open.
    int32_t Close();

    bool IsEstablished() const;                      ///< The handshake is done.
    bool PeerClosed() const { return fPeerClosed; }  ///< The peer's close_notify came.
    /// The protocol ALPN agreed on; empty when none was.
    StrPtrLen Protocol() const;
    /// Why the stream failed; fCode is 0 while it has not.
    const TLSError& Error() const { return fError; }

private:
    // The socket's side of OpenSSL's I/O, with the stream as the BIO's data.
    static int ReadFromSocket(bio_st* bio, char* buffer, int size);
    static int WriteToSocket(bio_st* bio, const char* data, int size);
    static long ControlSocket(bio_st* bio, int command, long number, void* pointer);
    static bio_method_st* Method();  // made once, shared by every stream

    // Every call's start: the kept error, or 0 once kept bytes went as far as they go.
    int32_t Begin();
    // Moves the handshake on, once begun.
    int32_t Shake();
    // 0 when a record may be encrypted now: handshake done, nothing kept.
    int32_t ReadyToSend();

    // Sends kept bytes until none are left (0), the socket is full (EAGAIN), or it fails.
    int32_t SendKept();
    // Keeps bytes the socket did not take; false when no room could be made.
    bool Keep(const char* data, uint32_t length);
    // What an OpenSSL call that returned `result` means; records a failure.
    int32_t Failed(int result, const char* what);
    // Encrypts one record's worth and sends what the socket takes.
    int32_t SendRecord(const char* data, uint32_t length, uint32_t* outLengthSent);

    Socket* fSocket;
    ssl_st* fSSL = nullptr;
    bio_st* fBIO = nullptr;
    char* fKept = nullptr;  // encrypted bytes the socket has not taken yet
    uint32_t fKeptStart = 0;
    uint32_t fKeptEnd = 0;
    uint32_t fKeptCapacity = 0;
    int32_t fSocketError = 0;       // what the socket said inside an OpenSSL call
    bool fReadToTheSocket = false;  // the last read stopped at the empty socket
    bool fPeerClosed = false;
    bool fCloseSent = false;
    TLSError fError;
};
