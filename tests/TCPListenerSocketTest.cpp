// Accepting and connecting through the runtime: a listener task that accepts without
// blocking and hands each connection to a new task, and a non-blocking connect that marks
// the socket connected once the connection is made.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "StreamClient.h"
#include "TCPListenerSocket.h"
#include "TCPSocket.h"
#include "support/Loopback.h"
#include "support/RuntimeEnvironment.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

constexpr uint32_t kStopEvent = 0x00010000;

// What the tasks serving accepted connections saw, kept beyond their lives.
struct Tracker {
    struct Record {
        bool fConnectedAtFirstRun = false;
        uint16_t fRemotePort = 0;
        uint16_t fLocalPort = 0;
        std::string fReceived;
        bool fPeerClosed = false;
    };

    std::mutex fMutex;
    std::vector<Record> fRecords;
    std::atomic<int> fTasksEnded{0};
    std::atomic<bool> fListenerEnded{false};
    std::atomic<bool> fRefuse{false};

    size_t Count() {
        std::lock_guard<std::mutex> lock(fMutex);
        return fRecords.size();
    }
    Record Get(size_t index) {
        std::lock_guard<std::mutex> lock(fMutex);
        return fRecords.at(index);
    }
    // The record of the connection whose peer used this local port, or -1.
    int Find(uint16_t remotePort) {
        std::lock_guard<std::mutex> lock(fMutex);
        for (size_t i = 0; i < fRecords.size(); ++i)
            if (fRecords[i].fRemotePort == remotePort) return int(i);
        return -1;
    }
};

// Serves one accepted connection: greets the peer and keeps what it sends.
class ServerConnection : public Task {
public:
    explicit ServerConnection(Tracker* tracker) : fTracker(tracker), fSocket(this, 0) {}
    ~ServerConnection() override {
        fSocket.Dispose();
        fTracker->fTasksEnded.fetch_add(1);
    }
    TCPSocket* GetSocket() { return &fSocket; }

    int64_t Run() override {
        if (TakeEvents() & kStopEvent) return -1;
        if (fIndex < 0) {
            Tracker::Record record;
            record.fConnectedAtFirstRun = fSocket.IsConnected();
            record.fRemotePort = fSocket.GetRemotePort();
            record.fLocalPort = fSocket.GetLocalPort();
            std::lock_guard<std::mutex> lock(fTracker->fMutex);
            fIndex = int(fTracker->fRecords.size());
            fTracker->fRecords.push_back(record);
            uint32_t sent = 0;
            fSocket.Send("hello", 5, &sent);
        }
        for (;;) {
            char buffer[256];
            uint32_t received = 0;
            const int32_t error = fSocket.Read(buffer, sizeof(buffer), &received);
            if (error == EAGAIN) {
                fSocket.ArmEvent(kWatchRead);
                return 0;
            }
            std::lock_guard<std::mutex> lock(fTracker->fMutex);
            if (error != 0) {
                fTracker->fRecords[size_t(fIndex)].fPeerClosed = true;
                return -1;
            }
            fTracker->fRecords[size_t(fIndex)].fReceived.append(buffer, received);
        }
    }

private:
    Tracker* fTracker;
    TCPSocket fSocket;
    int fIndex = -1;
};

class TestListener : public TCPListenerSocket {
public:
    explicit TestListener(Tracker* tracker) : fTracker(tracker) {}
    ~TestListener() override { fTracker->fListenerEnded = true; }

protected:
    Task* CreateConnectionTask(uint32_t remoteAddress, uint16_t, TCPSocket** outSocket) override {
        EXPECT_EQ(remoteAddress, kLoopbackAddress);
        if (fTracker->fRefuse) return nullptr;
        auto* task = new ServerConnection(fTracker);
        *outSocket = task->GetSocket();
        return task;
    }

private:
    Tracker* fTracker;
};

// A listener on a port of the system's choosing, stopped at the end of the test.
struct RunningListener {
    RunningListener() {
        fListener = new TestListener(&fTracker);
        fResult = fListener->Listen(kLoopbackAddress, 0);
        fPort = fListener->GetLocalPort();
    }
    ~RunningListener() {
        if (fListener != nullptr && fResult == 0) {
            fListener->StopListening();
            EXPECT_TRUE(WaitUntil([&] { return fTracker.fListenerEnded.load(); }));
        }
        // The serving tasks end when their peers close; the test's clients are gone.
        WaitUntil([&] { return size_t(fTracker.fTasksEnded.load()) == fTracker.Count(); });
    }
    Tracker fTracker;
    TestListener* fListener = nullptr;
    int32_t fResult = -1;
    uint16_t fPort = 0;
};

TEST(TCPListenerSocket, HandsEachConnectionToItsOwnTaskAsAConnectedSocket) {
    RunningListener server;
    ASSERT_EQ(server.fResult, 0);
    ASSERT_NE(server.fPort, 0);
    StreamClient clients[3];
    for (auto& client : clients)
        ASSERT_TRUE(client.Connect(server.fPort));
    for (auto& client : clients) {
        std::string greeting;
        ASSERT_TRUE(client.ReceiveExactly(5, &greeting));
        EXPECT_EQ(greeting, "hello");
    }
    ASSERT_EQ(server.fTracker.Count(), 3u);
    for (auto& client : clients) {
        const int index = server.fTracker.Find(client.LocalPort());
        ASSERT_GE(index, 0) << "no task saw the peer port " << client.LocalPort();
        const Tracker::Record record = server.fTracker.Get(size_t(index));
        EXPECT_TRUE(record.fConnectedAtFirstRun);
        EXPECT_EQ(record.fLocalPort, server.fPort);
    }
    // Each connection's bytes reach its own task.
    ASSERT_TRUE(clients[1].SendAll("second"));
    ASSERT_TRUE(clients[2].SendAll("third"));
    const int second = server.fTracker.Find(clients[1].LocalPort());
    const int third = server.fTracker.Find(clients[2].LocalPort());
    EXPECT_TRUE(WaitUntil([&] {
        return server.fTracker.Get(size_t(second)).fReceived == "second" &&
               server.fTracker.Get(size_t(third)).fReceived == "third";
    }));
    const int first = server.fTracker.Find(clients[0].LocalPort());
    clients[0].Close();
    EXPECT_TRUE(WaitUntil([&] { return server.fTracker.Get(size_t(first)).fPeerClosed; }));
    EXPECT_TRUE(WaitUntil([&] { return server.fTracker.fTasksEnded.load() == 1; }));
}

TEST(TCPListenerSocket, AcceptsABurstLargerThanOneRunTakes) {
    RunningListener server;
    ASSERT_EQ(server.fResult, 0);
    constexpr size_t kClients = 100;  // more than kAcceptsPerRun: the listener arms again
    static_assert(kClients > TCPListenerSocket::kAcceptsPerRun);
    std::vector<std::unique_ptr<StreamClient>> clients;
    for (size_t i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<StreamClient>());
        ASSERT_TRUE(clients.back()->Connect(server.fPort)) << i;
    }
    EXPECT_TRUE(WaitUntil([&] { return server.fTracker.Count() == kClients; }))
        << server.fTracker.Count();
    for (auto& client : clients) {
        std::string greeting;
        EXPECT_TRUE(client->ReceiveExactly(5, &greeting));
    }
    EXPECT_EQ(server.fListener->GetAcceptFailures(), 0u);
}

TEST(TCPListenerSocket, ATurnedAwayConnectionIsClosed) {
    RunningListener server;
    ASSERT_EQ(server.fResult, 0);
    server.fTracker.fRefuse = true;
    StreamClient client;
    ASSERT_TRUE(client.Connect(server.fPort));
    std::string received;
    EXPECT_TRUE(client.ReceiveUntilClosed(&received));
    EXPECT_EQ(received, "");
    EXPECT_EQ(server.fTracker.Count(), 0u);
}

TEST(TCPListenerSocket, StoppingClosesThePortAndEndsTheListener) {
    auto server = std::make_unique<RunningListener>();
    ASSERT_EQ(server->fResult, 0);
    const uint16_t port = server->fPort;
    server->fListener->StopListening();
    ASSERT_TRUE(WaitUntil([&] { return server->fTracker.fListenerEnded.load(); }));
    server->fListener = nullptr;  // deleted by its task thread
    StreamClient client;
    EXPECT_FALSE(client.Connect(port));
}

TEST(TCPListenerSocket, ListeningFailuresCloseTheSocketAndReportTheCause) {
    RunningListener server;
    ASSERT_EQ(server.fResult, 0);
    Tracker tracker;
    {
        // The port is taken.
        std::unique_ptr<TestListener> second(new TestListener(&tracker));
        EXPECT_EQ(second->Listen(kLoopbackAddress, server.fPort), kErrAddressInUse);
        EXPECT_EQ(second->GetSocketFD(), -1);
    }
    {
        // 192.0.2.1 (a documentation address) belongs to no interface here.
        std::unique_ptr<TestListener> elsewhere(new TestListener(&tracker));
        EXPECT_EQ(elsewhere->Listen(0xC0000201, 0), kErrAddressNotAvailable);
        EXPECT_EQ(elsewhere->GetSocketFD(), -1);
    }
    // The first listener still serves.
    StreamClient client;
    ASSERT_TRUE(client.Connect(server.fPort));
    std::string greeting;
    EXPECT_TRUE(client.ReceiveExactly(5, &greeting));
}

// Connects without blocking, then sends a greeting and keeps what comes back.
class Connector : public Task {
public:
    Connector(uint16_t port) : fPort(port), fSocket(this, 0) {}
    ~Connector() override { fSocket.Dispose(); }

    int64_t Run() override {
        const int64_t result = Step();
        fConnected = fSocket.IsConnected();
        return result;
    }

    int64_t Step() {
        if (TakeEvents() & kStopEvent) {
            fFinalCheck = fSocket.CheckConnect();
            fEnded = true;
            return 0;
        }
        if (fEnded) return 0;
        if (!fStarted) {
            fStarted = true;
            fConnectedBefore = fSocket.IsConnected();
            fFirstResult = fSocket.Connect(kLoopbackAddress, fPort);
            fResult = fFirstResult.load();
            if (fResult == kErrInProgress) return 0;  // Connect armed the socket
        } else if (fResult == kErrInProgress) {
            fResult = fSocket.CheckConnect();
            fChecks.fetch_add(1);
            if (fResult == kErrInProgress) {
                fSocket.ArmEvent(kWatchWrite);
                return 0;
            }
        }
        if (fResult != 0) return 0;
        if (!fGreeted) {
            fGreeted = true;
            fLocalPort = fSocket.GetLocalPort();
            uint32_t sent = 0;
            fSocket.Send("ping", 4, &sent);
            if (fShutdownAfterGreeting) fSocket.ShutdownSend();
        }
        for (;;) {
            char buffer[64];
            uint32_t received = 0;
            const int32_t error = fSocket.Read(buffer, sizeof(buffer), &received);
            if (error == EAGAIN) {
                fSocket.ArmEvent(kWatchRead);
                return 0;
            }
            if (error != 0) {
                fPeerClosed = true;
                return 0;
            }
            std::lock_guard<std::mutex> lock(fMutex);
            fReceived.append(buffer, received);
        }
    }
    std::string Received() {
        std::lock_guard<std::mutex> lock(fMutex);
        return fReceived;
    }

    uint16_t fPort;
    TCPSocket fSocket;
    bool fStarted = false;
    bool fGreeted = false;
    bool fShutdownAfterGreeting = false;
    std::atomic<bool> fConnectedBefore{true};
    std::atomic<bool> fConnected{false};
    std::atomic<int32_t> fFinalCheck{-1};
    std::atomic<int32_t> fFirstResult{-1};
    std::atomic<int32_t> fResult{-1};
    std::atomic<int> fChecks{0};
    std::atomic<uint16_t> fLocalPort{0};
    std::atomic<bool> fPeerClosed{false};
    std::atomic<bool> fEnded{false};
    std::mutex fMutex;
    std::string fReceived;
};

// A listening platform socket for the connect tests to reach.
struct PlainListener {
    PlainListener() {
        fSocket = Platform::OpenSocket(Platform::kSocketStream);
        const Platform::SocketAddress any = LoopbackAddress(0);
        Platform::BindSocket(fSocket, &any);
        Platform::ListenSocket(fSocket, 8);
        fPort = PortOf(fSocket);
    }
    ~PlainListener() { Platform::CloseSocket(fSocket); }
    Platform::SocketHandle Accept() { return Platform::AcceptSocket(fSocket, nullptr); }
    Platform::SocketHandle fSocket;
    uint16_t fPort;
};

// The task ends its work on the stop event and is then deleted by the test.
void Finish(Connector* connector) {
    connector->Signal(kStopEvent);
    EXPECT_TRUE(WaitUntil([&] { return connector->fEnded.load(); }));
    WaitUntil([&] { return connector->GetEvents() == 0; });
}

TEST(TCPSocketConnect, ANonBlockingConnectMarksTheSocketConnectedOnceMade) {
    PlainListener listener;
    auto connector = std::make_unique<Connector>(listener.fPort);
    connector->Signal(Task::kReadEvent);
    ASSERT_TRUE(WaitUntil([&] { return connector->fResult.load() == 0; }))
        << connector->fResult.load();
    EXPECT_FALSE(connector->fConnectedBefore.load());
    // Made at once or after the socket became writable; either way it reads as connected.
    EXPECT_TRUE(connector->fFirstResult.load() == 0 ||
                connector->fFirstResult.load() == kErrInProgress)
        << connector->fFirstResult.load();

    const Platform::SocketHandle peer = listener.Accept();
    ASSERT_NE(peer, Platform::kInvalidSocket);
    EXPECT_EQ(PortOf(peer), listener.fPort);
    char buffer[4];
    ASSERT_EQ(Platform::ReceiveSocket(peer, buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "ping");
    ASSERT_EQ(Platform::SendSocket(peer, "pong", 4), 4);
    EXPECT_TRUE(WaitUntil([&] { return connector->Received() == "pong"; }));
    // Noted when the run that read the reply returns, which may be just after it is seen.
    EXPECT_TRUE(WaitUntil([&] { return connector->fConnected.load(); }));
    EXPECT_NE(connector->fLocalPort.load(), 0);
    Platform::CloseSocket(peer);
    EXPECT_TRUE(WaitUntil([&] { return connector->fPeerClosed.load(); }));
    Finish(connector.get());
}

TEST(TCPSocketConnect, AConnectionRefusedIsReportedAndNeverMarkedConnected) {
    // A port bound but not listening refuses connections.
    const Platform::SocketHandle bound = Platform::OpenSocket(Platform::kSocketStream);
    const Platform::SocketAddress any = LoopbackAddress(0);
    ASSERT_EQ(Platform::BindSocket(bound, &any), 0);
    auto connector = std::make_unique<Connector>(PortOf(bound));
    connector->Signal(Task::kReadEvent);
    ASSERT_TRUE(WaitUntil([&] {
        const int32_t result = connector->fResult.load();
        return result != -1 && result != kErrInProgress;
    })) << "checks "
        << connector->fChecks.load() << " result " << connector->fResult.load();
    EXPECT_NE(connector->fResult.load(), 0);
    EXPECT_FALSE(connector->fConnected.load());
    Finish(connector.get());
    // Asked again, the socket keeps telling the failure.
    EXPECT_EQ(connector->fFinalCheck.load(), connector->fResult.load());
    Platform::CloseSocket(bound);
}

TEST(TCPSocketConnect, ShuttingTheSendingSideDownEndsThePeersStreamButNotTheReplies) {
    PlainListener listener;
    auto connector = std::make_unique<Connector>(listener.fPort);
    connector->fShutdownAfterGreeting = true;
    connector->Signal(Task::kReadEvent);
    ASSERT_TRUE(WaitUntil([&] { return connector->fResult.load() == 0; }));
    const Platform::SocketHandle peer = listener.Accept();
    ASSERT_NE(peer, Platform::kInvalidSocket);
    char buffer[8];
    ASSERT_EQ(Platform::ReceiveSocket(peer, buffer, sizeof(buffer)), 4);
    EXPECT_EQ(Platform::ReceiveSocket(peer, buffer, sizeof(buffer)), 0);  // the end
    ASSERT_EQ(Platform::SendSocket(peer, "late reply", 10), 10);
    EXPECT_TRUE(WaitUntil([&] { return connector->Received() == "late reply"; }));
    Platform::CloseSocket(peer);
    Finish(connector.get());
}

}  // namespace
