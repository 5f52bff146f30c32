// A listener task that accepts without blocking and hands each connection to a new task as
// a connected socket, pausing when the process is out of descriptors. (Connecting is
// driven by the load client in EchoServiceTest.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
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

std::atomic<int> sLiveConnections{0};

// Serves one accepted connection: greets the peer with the local and remote ports it was
// handed, then echoes until the peer ends; "end" makes it end its sending side instead.
class ServerConnection : public Task {
public:
    ServerConnection() : fSocket(this, 0) { ++sLiveConnections; }
    ~ServerConnection() override {
        fSocket.Dispose();
        --sLiveConnections;
    }
    int64_t Run() override {
        TakeEvents();
        if (!fGreeted) {
            const std::string greeting = std::to_string(fSocket.GetLocalPort()) + ":" +
                                         std::to_string(fSocket.GetRemotePort()) + ";";
            fGreeted = fSocket.Send(greeting.data(), uint32_t(greeting.size()), nullptr) == 0;
        }
        char buffer[256];
        uint32_t received = 0;
        for (int32_t error; (error = fSocket.Read(buffer, sizeof(buffer), &received)) != EAGAIN;) {
            if (error != 0) return -1;
            if (std::string(buffer, received) == "end")
                fSocket.ShutdownSend();
            else
                fSocket.Send(buffer, received, nullptr);
        }
        fSocket.ArmEvent(kWatchRead);
        return 0;
    }

    TCPSocket fSocket;
    bool fGreeted = false;
};

class TestListener : public TCPListenerSocket {
public:
    explicit TestListener(std::atomic<bool>* ended) : fEnded(ended) {}
    ~TestListener() override { *fEnded = true; }
    std::atomic<bool> fRefuse{false};

protected:
    Task* CreateConnectionTask(uint32_t remoteAddress, uint16_t, TCPSocket** outSocket) override {
        EXPECT_EQ(remoteAddress, kLoopbackAddress);
        if (fRefuse) return nullptr;
        auto* task = new ServerConnection;
        *outSocket = &task->fSocket;
        return task;
    }

private:
    std::atomic<bool>* fEnded;
};

// A listener on a port of the system's choosing, stopped at the latest when the test ends;
// the serving tasks end as the test's clients, made later and so gone first, close.
struct RunningListener {
    RunningListener() : fListener(new TestListener(&fEnded)) {
        fResult = fListener->Listen(kLoopbackAddress, 0);
        fPort = fListener->GetLocalPort();
    }
    ~RunningListener() {
        Stop();
        EXPECT_TRUE(WaitUntil([] { return sLiveConnections.load() == 0; }));
    }
    void Stop() {
        if (fResult != 0 || fListener == nullptr) return;
        fListener->StopListening();
        fListener = nullptr;  // its task thread deletes it
        EXPECT_TRUE(WaitUntil([&] { return fEnded.load(); }));
    }
    // A client greeted by the task that serves its connection; false when none was.
    bool Served(StreamPeer* client) {
        std::string greeting;
        const std::string expected =
            std::to_string(fPort) + ":" + std::to_string(client->LocalPort()) + ";";
        return client->ReceiveExactly(expected.size(), &greeting) && greeting == expected;
    }

    std::atomic<bool> fEnded{false};
    TestListener* fListener;
    int32_t fResult = -1;
    uint16_t fPort = 0;
};

TEST(TCPListenerSocket, HandsEachConnectionToItsOwnTaskAndClosesItsPortWhenStopped) {
    RunningListener server;
    ASSERT_EQ(server.fResult, 0);
    StreamPeer clients[3];
    for (auto& client : clients)
        ASSERT_TRUE(client.Connect(server.fPort) && server.Served(&client));
    std::string echoed;
    ASSERT_TRUE(clients[1].Exchange("second", &echoed));
    ASSERT_TRUE(clients[2].Exchange("third", &echoed));
    EXPECT_EQ(echoed, "secondthird");
    clients[0].Close();
    EXPECT_TRUE(WaitUntil([&] { return sLiveConnections.load() == 2; }));
    // Stopped, the listener closes its port; the connections it handed over live on.
    server.Stop();
    StreamPeer late;
    EXPECT_FALSE(late.Connect(server.fPort));
    EXPECT_TRUE(clients[1].Exchange("!", &echoed));
    // Its sending side shut, a task still reads: it ends only with its peer.
    ASSERT_TRUE(clients[2].SendAll("end"));
    EXPECT_TRUE(clients[2].ReceiveUntilClosed(&echoed));
    EXPECT_TRUE(StaysFalseFor([] { return sLiveConnections.load() < 2; }, 100ms));
    clients[2].Close();
    EXPECT_TRUE(WaitUntil([] { return sLiveConnections.load() == 1; }));
}

TEST(TCPListenerSocket, AcceptsABurstLargerThanOneRunTakesAndClosesTurnedAwayOnes) {
    RunningListener server;
    ASSERT_EQ(server.fResult, 0);
    std::vector<std::unique_ptr<StreamPeer>> clients;
    for (size_t i = 0; i < 2 * TCPListenerSocket::kAcceptsPerRun; ++i) {
        clients.push_back(std::make_unique<StreamPeer>());
        ASSERT_TRUE(clients.back()->Connect(server.fPort)) << i;
    }
    for (auto& client : clients)
        ASSERT_TRUE(server.Served(client.get()));
    EXPECT_EQ(server.fListener->GetAcceptFailures(), 0u);
    server.fListener->fRefuse = true;
    StreamPeer refused;
    std::string received;
    ASSERT_TRUE(refused.Connect(server.fPort));
    EXPECT_TRUE(refused.ReceiveUntilClosed(&received));
    EXPECT_EQ(received, "");
}

// Two accepts made to fail with the error (a Windows error code, as the platform layer
// takes them); the connection is served all the same. How long serving it took.
std::chrono::steady_clock::duration ServedDespite(uint32_t error, uint32_t listenerFailures) {
    RunningListener server;
    EXPECT_EQ(server.fResult, 0);
    Platform::ClearFaults();
    Platform::InjectFault(Platform::FaultPoint::kAccept, error, 2);
    const auto start = std::chrono::steady_clock::now();
    StreamPeer client;
    EXPECT_TRUE(client.Connect(server.fPort) && server.Served(&client));
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
    EXPECT_GE(ServedDespite(10024, 2), pauses - 20ms) << "out of descriptors";
    ServedDespite(10004, 0);  // interrupted
    ServedDespite(10054, 0);  // reset
}

}  // namespace
