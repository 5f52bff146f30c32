/// @file
/// A buffered writer for one stream socket, or a TLS stream on one, so that a task writing to
/// it never handles a partial send itself. What the socket takes goes at once (gathered, when
/// there are several pieces); the rest is kept in the writer's own buffer, whose bound the owner
/// sets, and the socket is armed for writing. On the task's next run Flush sends what was kept. A
/// write that would take the buffer past its bound is refused whole, so the task stops producing
/// (reading from its peer, say) until the writer has drained.
///
/// It belongs to the task that owns the socket and is called only from that task's runs: it
/// has no lock and no thread. While it keeps bytes, the socket's arming is its: an owner
/// that also waits to read arms for kWatchRead | kWatchWrite, not for reading alone.
///
///     StreamWriter fWriter{&fSocket, 16 * 1024};
///
///     int64_t ReplyTask::Run() {
///         const int32_t flushed = fWriter.Flush();
///         if (flushed == EAGAIN) return 0;  // armed for writing: signalled once there is room
///         if (flushed != 0) return -1;      // the connection is gone
///         static const char kGreeting[] = "hello\r\n";
///         const WriteBuffer reply[2] = {{kGreeting, 7}, {fBody, fBodyLength}};
///         if (fWriter.WriteVector(reply, 2) == kErrNoRoom) return 0;  // wait until drained
///         ...
///     }
#pragma once

#include <cstdint>

#include "OSTypes.h"
#include "StreamOutput.h"

/// One piece of a gathered write; the writer only reads it, so constant data needs no cast.
struct WriteBuffer {
    const void* fData;  ///< The piece's bytes; the caller's.
    uint32_t fLength;   ///< Their count.
};

/// The buffered writer; see the file's description.
class StreamWriter {
public:
    /// Pieces handed to the socket in one gathered send, at most.
    static constexpr uint32_t kPiecesPerSend = 16;

    /// Keeps at most `capacity` bytes for the socket, which must outlive the writer. The
    /// buffer is allocated the first time something must be kept, once, at that size.
    StreamWriter(Socket* socket, uint32_t capacity);
    /// The same through another output (a TLS stream), which must outlive the writer.
    StreamWriter(StreamOutput* output, uint32_t capacity);
    ~StreamWriter();
    StreamWriter(const StreamWriter&) = delete;
    StreamWriter& operator=(const StreamWriter&) = delete;

    /// Takes all the bytes, in order after those taken before: sent now as far as the socket
    /// takes them, the rest kept (and the socket armed for writing). 0 when taken;
    /// kErrNoRoom, with none of them taken, when they do not fit in Room() even once what is
    /// kept has been sent as far as it goes (the socket is then armed, unless nothing is kept
    /// and the write is longer than the capacity); otherwise the error that broke the stream
    /// (as Socket::Send reports it, or ENOMEM when the buffer could not be made), which every
    /// later call returns as well.
    int32_t Write(const void* data, uint32_t length);
    /// Write of the pieces, in order, as one write: all taken or none.
    int32_t WriteVector(const WriteBuffer* pieces, uint32_t count);

    /// Sends what is kept. 0 once nothing is; EAGAIN when the socket is full again (it is
    /// armed for writing, and the task is signalled when there is room); or the error. While
    /// bytes are kept, every run of the owner calls Flush or a write (which sends what is
    /// kept first): two armings can come as one signal, so a run that does neither may leave
    /// the kept bytes waiting for a signal that has already come.
    int32_t Flush();

    /// Bytes kept, not yet taken by the socket. After an error they never will be.
    uint32_t Pending() const { return fPending; }
    bool IsDrained() const { return fPending == 0; }  ///< Nothing is kept.
    /// The longest write that is taken now.
    uint32_t Room() const { return fError != 0 ? 0 : fCapacity - fPending; }
    uint32_t Capacity() const { return fCapacity; }  ///< The bound on the kept bytes.
    /// Bytes the socket has taken since the writer was made.
    uint64_t BytesSent() const { return fBytesSent; }
    /// The error that broke the stream, 0 while there is none.
    int32_t Error() const { return fError; }

private:
    // Where a write stands in the caller's pieces.
    struct Cursor {
        const WriteBuffer* fPieces;
        uint32_t fCount;
        uint32_t fIndex;
        uint32_t fOffset;  // bytes of fPieces[fIndex] already dealt with
    };

    // Sends the kept bytes, then the cursor's, until all went or the socket is full: 0,
    // EAGAIN or the error (then kept as fError).
    int32_t SendThrough(Cursor* cursor);
    // Moves the cursor past `sent` bytes.
    static void Advance(Cursor* cursor, uint32_t sent);
    // Copies what is left of the cursor's bytes to the end of the kept ones. 0 or ENOMEM.
    int32_t Keep(Cursor* cursor);

    SocketOutput fSocketOutput;  // used when the writer was given a socket
    StreamOutput* fOutput;
    uint32_t fCapacity;
    char* fBuffer = nullptr;  // a ring of fCapacity bytes, made when first needed
    uint32_t fHead = 0;       // the first kept byte
    uint32_t fPending = 0;
    uint64_t fBytesSent = 0;
    int32_t fError = 0;
};
