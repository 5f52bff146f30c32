// A line service: every byte a client sends comes back upper-cased, so each line comes back
// in capitals. With no argument it serves on a port the system chooses, connects to itself,
// checks one exchange and exits (0 when the answer was right); with --port N it serves on
// 127.0.0.1:N until Ctrl-C.
//! [includes]
#include <commonutilities/IdleDeadline.h>
#include <commonutilities/NetAddress.h>
#include <commonutilities/RuntimeHost.h>
#include <commonutilities/StreamWriter.h>
#include <commonutilities/TCPListenerSocket.h>
#include <commonutilities/TCPSocket.h>
#include <commonutilities/Task.h>
#include <commonutilities/TaskGroup.h>
//! [includes]

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

//! [constants]
// Event bits of our own, above the runtime's (kTimerEvent, kReadEvent). The stop bit is the
// listener's, so that one TaskGroup::Stop ends the listener and the connections alike.
constexpr uint32_t kStopEvent = TCPListenerSocket::kStopEvent;
constexpr uint32_t kIdleEvent = 0x00020000;
constexpr uint32_t kIdleTimeoutMSec = 30 * 1000;
constexpr uint32_t kWriterCapacity = 4096;
constexpr uint32_t kLoopback = 0x7F000001;  // 127.0.0.1, host byte order

// Every task of the service: the listener and each connection.
TaskGroup sService;
//! [constants]

//! [connection]
class UpperCaseConnection : public Task {
public:
    UpperCaseConnection() : fSocket(this, 0), fWriter(&fSocket, kWriterCapacity) {
        SetTaskName("UpperCaseConnection");
    }
    ~UpperCaseConnection() override {
        fIdle.Cancel();
        fSocket.Dispose();  // closed before the task leaves the service
    }

    bool JoinService() { return fMember.Join(&sService); }
    TCPSocket* GetSocket() { return &fSocket; }
    int64_t Run() override;

private:
    TaskGroup::Member fMember{this};  // first member: destroyed last
    TCPSocket fSocket;
    StreamWriter fWriter;  // declared after the socket it writes to
    IdleDeadline fIdle;
    bool fStarted = false;
    char fBuffer[1024];
};
//! [connection]

//! [run]
int64_t UpperCaseConnection::Run() {
    const uint32_t events = TakeEvents();
    if (!fStarted) {
        fStarted = true;
        // No message number was free: the listener closed the connection already.
        if (!fSocket.IsConnected()) return -1;
        fIdle.Start(this, kIdleTimeoutMSec, kIdleEvent);
    }
    if (events & (kStopEvent | kIdleEvent)) return -1;  // deleted: socket closed

    // Whatever the writer kept from an earlier run goes first.
    const int32_t flushed = fWriter.Flush();
    if (flushed != 0 && flushed != EAGAIN) return -1;

    // Read until a read would block; stop reading while the peer is not taking our answers.
    while (fWriter.IsDrained()) {
        uint32_t received = 0;
        const int32_t result = fSocket.Read(fBuffer, sizeof(fBuffer), &received);
        if (result == EAGAIN) return fSocket.ArmEvent(kWatchRead) == 0 ? 0 : -1;
        if (result != 0) return -1;  // the peer closed (kErrNotConnected) or reset (EPIPE)
        fIdle.Refresh();
        for (uint32_t i = 0; i < received; ++i)
            fBuffer[i] = char(std::toupper((unsigned char)fBuffer[i]));
        if (fWriter.Write(fBuffer, received) != 0) return -1;
    }
    return 0;  // the writer keeps bytes and armed the socket for writing
}
//! [run]

//! [listener]
class UpperCaseListener : public TCPListenerSocket {
public:
    UpperCaseListener() { fMember.Join(&sService); }
    // The member, declared here, leaves before the base class would close the socket.
    ~UpperCaseListener() override { Dispose(); }

protected:
    Task* CreateConnectionTask(uint32_t, uint16_t, TCPSocket** outSocket) override {
        auto* connection = new UpperCaseConnection;
        if (!connection->JoinService()) {
            delete connection;  // the service is stopping; never signalled, so ours
            return nullptr;     // the listener closes the connection
        }
        *outSocket = connection->GetSocket();
        return connection;
    }

private:
    TaskGroup::Member fMember{this};
};
//! [listener]

//! [client]
// Connects, sends one line, and checks the answer; then asks the program to stop.
class SelfTestClient : public Task {
public:
    explicit SelfTestClient(uint16_t port) : fPort(port), fSocket(this, 0) {}
    static std::atomic<bool> sPassed;

    int64_t Run() override {
        TakeEvents();
        if (!fConnecting) {
            fConnecting = true;
            const int32_t result = fSocket.Connect(kLoopback, fPort);
            if (result == kErrInProgress) return 0;  // armed for writing: wait
            if (result != 0) return Finish();
        }
        if (!fSent) {
            const int32_t connected = fSocket.CheckConnect();
            if (connected == kErrInProgress) return fSocket.ArmEvent(kWatchWrite) == 0 ? 0 : -1;
            uint32_t sent = 0;
            if (connected != 0 || fSocket.Send(kLine, kLength, &sent) != 0 || sent != kLength)
                return Finish();
            fSent = true;
        }
        for (;;) {
            uint32_t received = 0;
            const int32_t result =
                fSocket.Read(fAnswer + fReceived, sizeof(fAnswer) - 1 - fReceived, &received);
            if (result == EAGAIN) return fSocket.ArmEvent(kWatchRead) == 0 ? 0 : Finish();
            if (result != 0) return Finish();
            fReceived += received;
            if (fReceived >= kLength) return Finish();
        }
    }

private:
    static constexpr char kLine[] = "hello, service\n";
    static constexpr uint32_t kLength = sizeof(kLine) - 1;

    int64_t Finish() {
        fAnswer[fReceived] = '\0';
        sPassed = std::strcmp(fAnswer, "HELLO, SERVICE\n") == 0;
        std::printf("first-service: answer %s\n", sPassed ? "right" : "wrong");
        RuntimeHost::RequestStop();
        return -1;
    }

    uint16_t fPort;
    TCPSocket fSocket;
    bool fConnecting = false;
    bool fSent = false;
    char fAnswer[64] = {};
    uint32_t fReceived = 0;
};
std::atomic<bool> SelfTestClient::sPassed{false};
//! [client]

}  // namespace

int main(int argc, char** argv) {
    uint16_t port = 0;
    const bool selfTest = argc == 1;
    if (argc == 3 && std::strcmp(argv[1], "--port") == 0) {
        port = uint16_t(std::atoi(argv[2]));
    } else if (!selfTest) {
        std::fprintf(stderr, "usage: first-service [--port N]\n");
        return 2;
    }

    //! [start]
    std::string error;
    if (!RuntimeHost::Start({.fTaskThreads = 2}, &error)) {
        std::fprintf(stderr, "first-service: %s\n", error.c_str());
        return 1;
    }
    RuntimeHost::WatchStopRequests();  // Ctrl-C and SIGTERM now ask for a stop

    auto* listener = new UpperCaseListener;
    const int32_t listened = listener->Listen(kLoopback, port);
    if (listened != 0) {
        std::fprintf(stderr, "first-service: cannot listen on port %u: error %d\n", unsigned(port),
                     int(listened));
        delete listener;  // it never ran: ours to delete
        RuntimeHost::Stop();
        return 1;
    }
    std::printf("first-service: serving on 127.0.0.1:%u\n", unsigned(listener->GetLocalPort()));
    std::fflush(stdout);
    //! [start]

    if (selfTest) {
        auto* client = new SelfTestClient(listener->GetLocalPort());
        client->Signal(Task::kReadEvent);  // its first run connects
    }

    //! [stop]
    RuntimeHost::WaitForStopRequest(selfTest ? 20000 : RuntimeHost::kForever);
    sService.Stop(kStopEvent);  // no new members; listener and connections signalled
    const bool ended = sService.WaitUntilEmpty(2000);
    RuntimeHost::Stop();
    std::printf("first-service: stopped%s\n", ended ? "" : " (some tasks did not end in time)");
    //! [stop]
    return !selfTest || SelfTestClient::sPassed ? 0 : 1;
}
