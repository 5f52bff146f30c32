// One HTTP connection, plain or TLS (the site says which): reads requests (pipelined ones in
// order), answers each through a writer bounded to kWriterCapacity, and sends files a piece at a
// time as the writer has room, so a client that does not read holds at most that much of the
// server's memory. After an answer that ends the connection its sending side is shut down and what
// the client still sends is read and dropped for a moment, so that the client reads the answer
// rather than a reset.
#pragma once

#include <cstdint>
#include <memory>

#include "HttpFile.h"
#include "HttpRequestParser.h"
#include "HttpResponse.h"
#include "HttpSite.h"
#include "HttpTransport.h"
#include "IdleDeadline.h"
#include "StreamWriter.h"
#include "TCPListenerSocket.h"
#include "TCPSocket.h"
#include "Task.h"
#include "TaskGroup.h"

class HttpConnectionTask : public Task {
public:
    // The listener's stop bit, so that stopping the group stops listener and connections.
    static constexpr uint32_t kStopEvent = TCPListenerSocket::kStopEvent;
    static constexpr uint32_t kIdleEvent = 0x00020000;  // idle too long, or the drain is over
    static constexpr uint32_t kWriterCapacity = 64 * 1024;
    static constexpr uint32_t kInputSize = 8 * 1024;
    // Bytes answered in one run before other tasks get their turn.
    static constexpr uint32_t kBytesPerRun = 256 * 1024;
    // Room the writer must have before the next request is answered: any head with the
    // longest small body (built-in page or error text) fits.
    static constexpr uint32_t kAnswerRoom = 4 * 1024;
    // A file piece smaller than this waits for more room (unless it is the last).
    static constexpr uint32_t kLeastPiece = 4 * 1024;
    // After an answer that ends the connection: how long, and how much, is drained.
    static constexpr uint32_t kDrainMSec = 1000;
    static constexpr uint32_t kMostDrainBytes = 256 * 1024;

    explicit HttpConnectionTask(const HttpSite* site);
    ~HttpConnectionTask() override;

    int64_t Run() override;

    // False when the group is stopping: the task is then its creator's to delete.
    bool JoinGroup(TaskGroup* group) { return fMember.Join(group); }
    TCPSocket* GetSocket() { return &fSocket; }

private:
    enum class Phase { kServing, kDraining };

    int64_t Serve();
    int64_t Drain();
    // Answers one request; false when the connection must end at once.
    bool Respond(const HttpRequest& request);
    // A head and a body that fit in kAnswerRoom; the body is left out for a HEAD.
    bool RespondSmall(HttpResponseHead answer, std::string_view body, bool withBody);
    // Answers an unreadable request; the connection ends after it.
    bool RespondError(int status);
    // Writes file pieces while there is room and budget: 0 when the body has gone to the
    // writer, EAGAIN when waiting for room or a turn, -1 when the connection must end.
    int32_t SendFileBody(uint32_t* budget);
    // Reads the next file piece, at most `most` bytes, into the piece buffer; false when the
    // file cannot give it and the connection must end.
    bool ReadFilePiece(uint32_t most, uint32_t* got);
    int64_t BeginDraining();
    // Arms for the bits, and for writing while the writer keeps bytes: Run's result.
    int64_t Arm(uint32_t eventBits);
    // Run's result when the turn's budget is spent: come back once others had theirs.
    int64_t Yield() { return fWriter.IsDrained() ? Arm(kWatchWrite) : 0; }

    TaskGroup::Member fMember{this};  // first made, last gone: leaves after the socket closed
    const HttpSite* fSite;
    TCPSocket fSocket;
    SocketTransport fPlain{&fSocket};
    std::unique_ptr<HttpTransport> fTLS;  // made when the site serves TLS
    HttpTransport* fTransport;            // fPlain or fTLS: every read and write goes here
    StreamWriter fWriter;                 // destroyed before what it writes to
    IdleDeadline fIdle;
    HttpRequestParser fParser;
    HttpFile fFile;
    Phase fPhase = Phase::kServing;
    bool fStarted = false;
    bool fCloseAfter = false;  // end once the answers so far have gone
    uint64_t fBodyLeft = 0;    // file bytes still to hand to the writer
    uint64_t fCountedSent = 0;
    uint32_t fDrained = 0;
    uint32_t fInputStart = 0;  // fInput's bytes not yet parsed
    uint32_t fInputEnd = 0;
    char fInput[kInputSize];
};
