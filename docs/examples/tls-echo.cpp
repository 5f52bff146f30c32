// A TLS echo service and two clients of it over loopback: one that verifies the server as
// "localhost" against the test CA and gets its line back, and one that connects under a
// name the certificate does not carry and is refused by its own verification.
#include <commonutilities/RuntimeHost.h>
#include <commonutilities/StreamWriter.h>
#include <commonutilities/TCPListenerSocket.h>
#include <commonutilities/TCPSocket.h>
#include <commonutilities/TLSContext.h>
#include <commonutilities/TLSStream.h>
#include <commonutilities/Task.h>
#include <commonutilities/TaskGroup.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr uint32_t kLoopback = 0x7F000001;
constexpr uint32_t kStopEvent = TCPListenerSocket::kStopEvent;
TaskGroup sTasks;
TLSContext* sServerContext = nullptr;
TLSContext* sClientContext = nullptr;

// The test certificates, found from this source file's place in the tree.
std::string TestFile(const char* name) {
    std::string path = __FILE__;
    path.erase(path.find_last_of("/\\") + 1);
    return path + "../../tests/data/tls/" + name;
}

//! [contexts]
bool MakeContexts() {
    const std::string certificate = TestFile("server.pem"), key = TestFile("server-key.pem");
    const std::string ca = TestFile("ca.pem");
    TLSError error;
    sServerContext = TLSContext::Make(
        TLSContext::Role::kServer,
        {.fCertificateFile = certificate.c_str(), .fKeyFile = key.c_str()}, &error);
    if (sServerContext == nullptr) {
        std::fprintf(stderr, "tls-echo: server context: %d %s\n", int(error.fCode), error.fText);
        return false;
    }
    // Verifies the server's chain against the CA, and its name (given to each stream).
    sClientContext = TLSContext::Make(TLSContext::Role::kClient, {.fCAFile = ca.c_str()}, &error);
    if (sClientContext == nullptr) {
        std::fprintf(stderr, "tls-echo: client context: %d %s\n", int(error.fCode), error.fText);
        return false;
    }
    return true;
}
//! [contexts]

//! [server]
class TLSEchoConnection : public Task {
public:
    TLSEchoConnection() : fSocket(this, 0), fTls(sServerContext, &fSocket), fWriter(&fTls, 16384) {}
    ~TLSEchoConnection() override { fSocket.Dispose(); }

    int64_t Run() override {
        if (TakeEvents() & kStopEvent) return -1;
        if (!fSocket.IsConnected()) return -1;
        const int32_t flushed = fWriter.Flush();
        if (flushed != 0 && flushed != EAGAIN) return -1;
        while (fWriter.IsDrained()) {
            uint32_t received = 0;
            const int32_t result = fTls.Read(fBuffer, sizeof(fBuffer), &received);
            if (result == EAGAIN) return fTls.ArmEvent(kWatchRead) == 0 ? 0 : -1;
            if (result != 0) return -1;  // close_notify, a failed handshake, a reset
            if (fWriter.Write(fBuffer, received) != 0) return -1;
        }
        return 0;  // the writer armed the stream for writing
    }

    TaskGroup::Member fMember{this};
    TCPSocket fSocket;
    TLSStream fTls;        // over the socket: declared after it
    StreamWriter fWriter;  // over the stream: declared after it
    char fBuffer[4096];
};
//! [server]

class TLSEchoListener : public TCPListenerSocket {
public:
    TLSEchoListener() { fMember.Join(&sTasks); }
    ~TLSEchoListener() override { Dispose(); }

protected:
    Task* CreateConnectionTask(uint32_t, uint16_t, TCPSocket** outSocket) override {
        auto* connection = new TLSEchoConnection;
        if (!connection->fMember.Join(&sTasks)) {
            delete connection;
            return nullptr;
        }
        *outSocket = &connection->fSocket;
        return connection;
    }

private:
    TaskGroup::Member fMember{this};
};

std::atomic<int> sClientsDone{0};
std::atomic<int> sClientsRight{0};

//! [client]
// Connects, sends a line over TLS, and expects it back, or expects the handshake to fail.
class TLSClient : public Task {
public:
    TLSClient(uint16_t port, const char* serverName, int32_t expected)
        : fName(serverName),
          fPort(port),
          fSocket(this, 0),
          fTls(sClientContext, &fSocket, serverName),
          fExpected(expected) {}

    int64_t Run() override {
        if (TakeEvents() & kStopEvent) return -1;
        if (!fConnecting) {
            fConnecting = true;
            const int32_t result = fSocket.Connect(kLoopback, fPort);
            if (result == kErrInProgress) return 0;  // armed for writing
            if (result != 0) return Finish(result);
        }
        const int32_t connected = fSocket.CheckConnect();
        if (connected == kErrInProgress) return fSocket.ArmEvent(kWatchWrite) == 0 ? 0 : -1;
        if (connected != 0) return Finish(connected);

        const int32_t shaken = fTls.Handshake();
        if (shaken == EAGAIN) return fTls.ArmEvent(kWatchRead) == 0 ? 0 : -1;
        if (shaken != 0) return Finish(shaken);  // kErrTLSVerifyFailed, kErrTLSFailed...
        if (!fSent) {
            uint32_t sent = 0;
            if (fTls.Send(kLine, kLength, &sent) != 0 || sent != kLength) return Finish(-1);
            fSent = true;
        }
        for (;;) {
            uint32_t received = 0;
            const int32_t result =
                fTls.Read(fAnswer + fReceived, sizeof(fAnswer) - 1 - fReceived, &received);
            if (result == EAGAIN) return fTls.ArmEvent(kWatchRead) == 0 ? 0 : -1;
            if (result != 0) return Finish(result);
            fReceived += received;
            if (fReceived == kLength) {
                fTls.Close();  // close_notify: the server reads the end of the stream
                return Finish(std::memcmp(fAnswer, kLine, kLength) == 0 ? 0 : -1);
            }
        }
    }

    TaskGroup::Member fMember{this};

private:
    static constexpr char kLine[] = "over TLS\n";
    static constexpr uint32_t kLength = sizeof(kLine) - 1;

    int64_t Finish(int32_t result) {
        std::printf("client for %s: %d %s\n", fName, int(result), fTls.Error().fText);
        if (result == fExpected) sClientsRight++;
        if (++sClientsDone == 2) RuntimeHost::RequestStop();
        return -1;
    }

    const char* fName;
    uint16_t fPort;
    TCPSocket fSocket;
    TLSStream fTls;
    int32_t fExpected;
    bool fConnecting = false;
    bool fSent = false;
    char fAnswer[64] = {};
    uint32_t fReceived = 0;
};
//! [client]

}  // namespace

int main() {
    std::string error;
    if (!MakeContexts() || !RuntimeHost::Start({.fTaskThreads = 2}, &error)) return 1;
    auto* listener = new TLSEchoListener;
    if (listener->Listen(kLoopback, 0) != 0) {
        delete listener;
        RuntimeHost::Stop();
        return 1;
    }
    const uint16_t port = listener->GetLocalPort();
    for (auto* client : {new TLSClient(port, "localhost", 0),
                         new TLSClient(port, "wrong.example", kErrTLSVerifyFailed)}) {
        if (client->fMember.Join(&sTasks)) client->Signal(Task::kReadEvent);
    }
    RuntimeHost::WaitForStopRequest(20000);
    sTasks.Stop(kStopEvent);
    const bool ended = sTasks.WaitUntilEmpty(10000);
    RuntimeHost::Stop();
    delete sClientContext;  // after every stream made with it
    delete sServerContext;
    return sClientsRight == 2 && ended ? 0 : 1;
}
