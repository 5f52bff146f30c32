// Accepting and connecting through the runtime: a listener task that accepts without
// blocking and hands each connection to a new task, pausing when the process is out of
// descriptors; and a non-blocking connect that marks the socket connected once made.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "TCPListenerSocket.h"
#include "TCPSocket.h"
#include "platform/FaultInjection.h"
#include "support/Loopback.h"
#include "support/RuntimeEnvironment.h"
#include "support/StreamPeer.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

constexpr uint32_t kStopEvent = 0x00010000;

// What the tasks serving accepted connections saw, by the peer's port; kept beyond them.
struct Served {
    bool fConnectedAtFirstRun = false;
    uint16_t fLocalPort = 0;
    std::string fReceived;
    bool fEnded = false;
};

class Tracker {
public:
    void Update(uint16_t peerPort, const std::function<void(Served&)>& change) {
        std::lock_guard<std::mutex> lock(fMutex);
        change(fServed[peerPort]);
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(fMutex);
        return fServed.size();
    }
    Served Get(uint16_t peerPort) {
        std::lock_guard<std::mutex> lock(fMutex);
        return fServed.count(peerPort) ? fServed[peerPort] : Served();
    }

    std::atomic<int> fLiveTasks{0};
    std::atomic<bool> fListenerEnded{false};
    std::atomic<bool> fRefuse{false};

private:
    std::mutex fMutex;
    std::map<uint16_t, Served> fServed;
};

// Serves one accepted connection: greets the peer, keeps what it sends, ends with it.
class ServerConnection : public Task {
public:
    explicit ServerConnection(Tracker* tracker) : fTracker(tracker), fSocket(this, 0) {
        fTracker->fLiveTasks.fetch_add(1);
    }
    ~ServerConnection() override {
        fSocket.Dispose();
        fTracker->fLiveTasks.fetch_sub(1);
    }
    TCPSocket* GetSocket() { return &fSocket; }

    int64_t Run() override {
        TakeEvents();
        const uint16_t peer = fSocket.GetRemotePort();
        if (!fGreeted) {
            fGreeted = true;
            fTracker->Update(peer, [&](Served& served) {
                served.fConnectedAtFirstRun = fSocket.IsConnected();
                served.fLocalPort = fSocket.GetLocalPort();
            });
            fSocket.Send("hello", 5, nullptr);
        }
        for (;;) {
            char buffer[256];
            uint32_t received = 0;
            const int32_t error = fSocket.Read(buffer, sizeof(buffer), &received);
            if (error == EAGAIN) {
                fSocket.ArmEvent(kWatchRead);
                return 0;
            }
            fTracker->Update(peer, [&](Served& served) {
                if (error != 0) served.fEnded = true;
                served.fReceived.append(buffer, error == 0 ? received : 0);
            });
            if (error != 0) return -1;
        }
    }

private:
    Tracker* fTracker;
    TCPSocket fSocket;
    bool fGreeted = false;
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

// A listener on a port of the system's choosing, stopped at the latest when the test ends;
// the serving tasks end as the test's clients, made later and so gone first, close.
struct RunningListener {
    RunningListener() : fListener(new TestListener(&fTracker)) {
        fResult = fListener->Listen(kLoopbackAddress, 0);
        fPort = fListener->GetLocalPort();
    }
    ~RunningListener() {
        Stop();
        EXPECT_TRUE(WaitUntil([&] { return fTracker.fLiveTasks.load() == 0; }));
    }
    void Stop() {
        if (fResult != 0 || fListener == nullptr) return;
        fListener->StopListening();
        fListener = nullptr;  // its task thread deletes it
        EXPECT_TRUE(WaitUntil([&] { return fTracker.fListenerEnded.load(); }));
    }

    Tracker fTracker;
    TestListener* fListener;
    int32_t fResult = -1;
    uint16_t fPort = 0;
};

TEST(TCPListenerSocket, HandsEachConnectionToItsOwnTaskAsAConnectedSocket) {
    RunningListener server;
    ASSERT_EQ(server.fResult, 0);
    StreamPeer clients[3];
    for (auto& client : clients) {
        ASSERT_TRUE(client.Connect(server.fPort));
        std::string greeting;
        ASSERT_TRUE(client.ReceiveExactly(5, &greeting));
        EXPECT_EQ(greeting, "hello");
        const Served served = server.fTracker.Get(client.LocalPort());
        EXPECT_TRUE(served.fConnectedAtFirstRun);
        EXPECT_EQ(served.fLocalPort, server.fPort);
    }
    ASSERT_TRUE(clients[1].SendAll("second"));
    ASSERT_TRUE(clients[2].SendAll("third"));
    EXPECT_TRUE(WaitUntil([&] {
        return server.fTracker.Get(clients[1].LocalPort()).fReceived == "second" &&
               server.fTracker.Get(clients[2].LocalPort()).fReceived == "third";
    }));
    const uint16_t first = clients[0].LocalPort();
    clients[0].Close();
    EXPECT_TRUE(WaitUntil([&] { return server.fTracker.Get(first).fEnded; }));
    EXPECT_TRUE(WaitUntil([&] { return server.fTracker.fLiveTasks.load() == 2; }));

    // Stopped, the listener closes its port; the connections it handed over live on.
    server.Stop();
    StreamPeer late;
    EXPECT_FALSE(late.Connect(server.fPort));
    EXPECT_TRUE(clients[1].SendAll("!"));
    EXPECT_TRUE(WaitUntil(
        [&] { return server.fTracker.Get(clients[1].LocalPort()).fReceived == "second!"; }));
}

TEST(TCPListenerSocket, AcceptsABurstLargerThanOneRunTakesAndClosesTurnedAwayOnes) {
    RunningListener server;
    ASSERT_EQ(server.fResult, 0);
    constexpr size_t kClients = 100;
    static_assert(kClients > TCPListenerSocket::kAcceptsPerRun);
    std::vector<std::unique_ptr<StreamPeer>> clients;
    for (size_t i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<StreamPeer>());
        ASSERT_TRUE(clients.back()->Connect(server.fPort)) << i;
    }
    for (auto& client : clients) {
        std::string greeting;
        ASSERT_TRUE(client->ReceiveExactly(5, &greeting));
    }
    EXPECT_EQ(server.fTracker.Count(), kClients);
    EXPECT_EQ(server.fListener->GetAcceptFailures(), 0u);

    server.fTracker.fRefuse = true;
    StreamPeer refused;
    ASSERT_TRUE(refused.Connect(server.fPort));
    std::string received;
    EXPECT_TRUE(refused.ReceiveUntilClosed(&received));
    EXPECT_EQ(received, "");
}

// Accepts made to fail twice with the error (a Windows error code, as the platform layer
// takes them); the connection is served all the same. How long serving it took.
std::chrono::steady_clock::duration ServedThroughAcceptFailures(uint32_t error,
                                                                uint32_t listenerFailures) {
    RunningListener server;
    EXPECT_EQ(server.fResult, 0);
    Platform::ClearFaults();
    Platform::InjectFault(Platform::FaultPoint::kAccept, error, 2);
    const auto start = std::chrono::steady_clock::now();
    StreamPeer client;
    std::string greeting;
    EXPECT_TRUE(client.Connect(server.fPort) && client.ReceiveExactly(5, &greeting));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(Platform::FaultsTaken(Platform::FaultPoint::kAccept), 2u);
    EXPECT_EQ(server.fListener->GetAcceptFailures(), listenerFailures);
    Platform::ClearFaults();
    return waited;
}

// Out of descriptors, the waiting connection keeps the socket readable: the listener must
// pause instead of spinning. Interrupted accepts and connections reset before they were
// taken are passed over.
TEST(TCPListenerSocket, AcceptFailuresPauseOrArePassedOverAndTheConnectionIsServed) {
    if (!Platform::kFaultInjectionBuilt) GTEST_SKIP() << "built without fault points";
    const auto pauses = std::chrono::milliseconds(2 * TCPListenerSocket::kAcceptPauseMSec);
    EXPECT_GE(ServedThroughAcceptFailures(10024, 2), pauses - 20ms) << "out of descriptors";
    ServedThroughAcceptFailures(10004, 0);  // interrupted
    ServedThroughAcceptFailures(10054, 0);  // reset
}

TEST(TCPListenerSocket, ListeningFailuresCloseTheSocketAndReportTheCause) {
    const HeldSocket taken = TakenListener();
    const struct {
        uint32_t fAddress;
        uint16_t fPort;
        int32_t fResult;
    } cases[] = {{kLoopbackAddress, taken.Port(), kErrAddressInUse},
                 {kDocumentationAddress, 0, kErrAddressNotAvailable}};
    for (const auto& test : cases) {
        Tracker tracker;
        std::unique_ptr<TestListener> listener(new TestListener(&tracker));  // never ran
        EXPECT_EQ(listener->Listen(test.fAddress, test.fPort), test.fResult);
        EXPECT_EQ(listener->GetSocketFD(), -1);
    }
}

// Connects without blocking, then sends a greeting, shuts its sending side and keeps what
// comes back until the end.
class Connector : public Task {
public:
    explicit Connector(uint16_t port) : fPort(port), fSocket(this, 0) {}

    int64_t Run() override {
        if (TakeEvents() & kStopEvent) {
            fFinalCheck = fSocket.CheckConnect();
            fEnded = true;
        }
        if (fEnded) return 0;
        if (fResult == -1) {
            fConnectedBefore = fSocket.IsConnected();
            fFirstResult = fSocket.Connect(kLoopbackAddress, fPort);
            if (fFirstResult == kErrInProgress) {
                fResult = kErrInProgress;
                return 0;  // Connect armed the socket for writing
            }
            Ended(fFirstResult);
        } else if (fResult == kErrInProgress) {
            const int32_t result = fSocket.CheckConnect();
            if (result == kErrInProgress) {
                fSocket.ArmEvent(kWatchWrite);  // signalled early
                return 0;
            }
            Ended(result);
        }
        while (fResult == 0 && !fPeerEnded) {
            char buffer[64];
            uint32_t received = 0;
            const int32_t error = fSocket.Read(buffer, sizeof(buffer), &received);
            if (error == EAGAIN) {
                fSocket.ArmEvent(kWatchRead);
                return 0;
            }
            std::lock_guard<std::mutex> lock(fMutex);
            if (error == 0) fReceived.append(buffer, received);
            fPeerEnded = error != 0;
        }
        return 0;
    }
    std::string Received() {
        std::lock_guard<std::mutex> lock(fMutex);
        return fReceived;
    }

    uint16_t fPort;
    TCPSocket fSocket;
    std::atomic<int32_t> fResult{-1}, fFirstResult{-1}, fFinalCheck{-1};
    std::atomic<bool> fConnectedBefore{true}, fConnected{false}, fPeerEnded{false}, fEnded{false};
    std::atomic<uint16_t> fLocalPort{0};

private:
    // The attempt has ended with the result.
    void Ended(int32_t result) {
        if (result == 0) {
            fConnected = fSocket.IsConnected();
            fLocalPort = fSocket.GetLocalPort();
            fSocket.Send("ping", 4, nullptr);
            fSocket.ShutdownSend();
        }
        fResult = result;
    }

    std::mutex fMutex;
    std::string fReceived;
};

// The task ends its work on the stop event; then the test may delete it.
void Finish(Connector* connector) {
    connector->Signal(kStopEvent);
    EXPECT_TRUE(WaitUntil([&] { return connector->fEnded.load(); }));
    EXPECT_TRUE(WaitUntil([&] { return connector->GetEvents() == 0; }));
}

// The accepted end of a connection to the listener, within the usual time limit.
bool AcceptWithin(const HeldSocket& listener, StreamPeer* peer) {
    Platform::SetSocketNonBlocking(listener.Get());
    Platform::SocketHandle accepted = Platform::kInvalidSocket;
    WaitUntil([&] { return (accepted = Platform::AcceptSocket(listener.Get(), nullptr)) != -1; });
    if (accepted != Platform::kInvalidSocket) peer->Adopt(accepted);
    return accepted != Platform::kInvalidSocket;
}

TEST(TCPSocketConnect, ANonBlockingConnectIsMarkedConnectedAndCanEndItsSendingSide) {
    const HeldSocket listener = TakenListener();
    auto connector = std::make_unique<Connector>(listener.Port());
    connector->Signal(Task::kReadEvent);
    ASSERT_TRUE(WaitUntil([&] { return connector->fResult.load() == 0; }))
        << connector->fResult.load();
    EXPECT_FALSE(connector->fConnectedBefore.load());
    EXPECT_TRUE(connector->fConnected.load());
    EXPECT_NE(connector->fLocalPort.load(), 0);
    EXPECT_EQ(connector->fSocket.GetRemotePort(), listener.Port());
    // Connected at once or after the socket became writable; nothing else.
    EXPECT_TRUE(connector->fFirstResult == 0 || connector->fFirstResult == kErrInProgress)
        << connector->fFirstResult.load();

    StreamPeer peer;
    ASSERT_TRUE(AcceptWithin(listener, &peer));
    std::string received;
    EXPECT_TRUE(peer.ReceiveUntilClosed(&received));  // the greeting, then the half-close
    EXPECT_EQ(received, "ping");
    ASSERT_TRUE(peer.SendAll("late reply"));
    EXPECT_TRUE(WaitUntil([&] { return connector->Received() == "late reply"; }));
    peer.Close();
    EXPECT_TRUE(WaitUntil([&] { return connector->fPeerEnded.load(); }));
    Finish(connector.get());
}

TEST(TCPSocketConnect, ARefusedConnectionIsReportedAndNeverMarkedConnected) {
    const HeldSocket refusing = RefusingPort();
    auto connector = std::make_unique<Connector>(refusing.Port());
    connector->Signal(Task::kReadEvent);
    ASSERT_TRUE(WaitUntil([&] {
        const int32_t result = connector->fResult.load();
        return result != -1 && result != kErrInProgress;
    })) << connector->fResult.load();
    EXPECT_NE(connector->fResult.load(), 0);
    Finish(connector.get());
    EXPECT_FALSE(connector->fSocket.IsConnected());
    EXPECT_EQ(connector->fFinalCheck.load(), connector->fResult.load()) << "asked again";
}

}  // namespace
