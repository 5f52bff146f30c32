// The echo service and its load client in-process over loopback.
#include "EchoConnectionTask.h"
#include "EchoListener.h"
#include "EchoService.h"
#include "LoadClient.h"
#include "TCPListenerSocket.h"
#include "UDPEchoTask.h"
#include "platform/FaultInjection.h"
#include "support/Datagrams.h"
#include "support/MessageNumbers.h"
#include "support/RuntimeEnvironment.h"
#include "support/StreamPeer.h"

namespace {

using Clock = std::chrono::steady_clock;

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

constexpr int64_t kBuffer = EchoConnectionTask::kBufferSize;

// On ports of the system's choosing, stopped when the test ends.
struct Running {
    explicit Running(const EchoServiceConfig& config = {}) {
        EXPECT_TRUE(fService.Start(config, &fError)) << fError;
    }
    ~Running() {
        EXPECT_TRUE(fService.Stop());
        EXPECT_EQ(fService.GetLiveTasks(), 0u);
    }
    EchoStats& Stats() { return fService.Stats(); }
    uint16_t Port() const { return fService.GetTCPPort(); }

    EchoService fService;
    std::string fError;
};

bool IsFree(uint16_t datagramPort) {
    const HeldSocket socket(Platform::OpenSocket(Platform::kSocketDatagram));
    const Platform::SocketAddress address = LoopbackAddress(datagramPort);
    return Platform::BindSocket(socket.Get(), &address) == 0;
}

// A reply to no one (on Windows the next receive then fails), an empty datagram, and a
// batch whose echo finds the socket full after one datagram and still full at the next try:
// the rest waits for writability and comes back in order.
TEST(EchoService, UDPGetsOverRepliesToNoOneEmptyDatagramsAndAFullSocket) {
    Running running;
    const uint16_t port = running.fService.GetUDPPort();
    ASSERT_TRUE(SendDatagramTo(port, "to no one", 9));  // from a socket closed at once
    ArmedDatagramSocket client;
    for (size_t i = 0; i < 2; ++i) {
        const std::string data = PatternBytes(i * 1000, 1);
        ASSERT_EQ(client.SendTo(kLoopbackAddress, port, data), 0);
        ASSERT_TRUE(client.WaitFor(i + 1)) << data.size();
        EXPECT_TRUE(client.At(i).fData == data && client.At(i).fPort == port);
    }
    if (!Platform::kFaultInjectionBuilt) GTEST_SKIP() << "built without fault points";
    const size_t count = UDPEchoTask::kDatagramsPerRun;
    TwoThreadsHeld::During([&] {  // all waiting before the task's next run
        for (size_t i = 0; i < count; ++i)
            EXPECT_EQ(client.SendTo(kLoopbackAddress, port, std::to_string(i)), 0);
        Platform::InjectFault(Platform::FaultPoint::kSendTo, 10035, 2, 1);
        return 0;
    });
    ASSERT_TRUE(client.WaitFor(2 + count));
    for (size_t i = 0; i < count; ++i)
        EXPECT_EQ(client.At(2 + i).fData, std::to_string(i));
    EXPECT_EQ(Platform::FaultsTaken(Platform::FaultPoint::kSendTo), 2u);
    Platform::ClearFaults();
}

// A read stops short before urgent data and before the peer's end: queued at once while the
// service is busy, every byte must still come back, and a half-close end the connection.
TEST(EchoService, BytesBehindAnUrgentMarkOrBeforeAHalfCloseAreEchoed) {
    Running running;
    for (const bool urgent : {true, false}) {
        SCOPED_TRACE(urgent ? "urgent" : "half-close");
        StreamPeer client;
        std::string echoed;
        ASSERT_TRUE(client.Connect(running.Port()) && client.Exchange("ready", &echoed));
        {
            const TwoThreadsHeld held;
            ASSERT_TRUE(client.SendAll("abc"));
            ASSERT_TRUE(!urgent || SendUrgentByte(client.Handle(), 'X'));
            ASSERT_TRUE(client.SendAll("def"));
            ASSERT_TRUE(urgent || Platform::ShutdownSocketSend(client.Handle()) == 0);
            std::this_thread::sleep_for(50ms);  // all of it queued before the service reads
        }
        EXPECT_TRUE(urgent ? client.ReceiveExactly(6, &echoed, 3s)
                           : client.ReceiveUntilClosed(&echoed));
        EXPECT_EQ(echoed, "readyabcdef");
    }
}

TEST(EchoService, AClientThatDoesNotReadIsHeldToOneBufferWhileOthersAreServed) {
    Running running;
    // Gone with bytes unread on both sides while the service waits to send: let go.
    StreamPeer vanishing;
    ASSERT_TRUE(vanishing.Connect(running.Port()));
    vanishing.PushUntilStalled(PatternBytes(1u << 16, 4));
    vanishing.Close();
    EchoStats& stats = running.Stats();
    EXPECT_TRUE(
        WaitUntil([&] { return stats.fConnectionsServed == 1 && !stats.fOpenConnections; }));
    EXPECT_EQ(stats.fBufferedBytes.load(), 0);

    const std::string pattern = PatternBytes(1u << 20, 99);
    StreamPeer hog, other;
    ASSERT_TRUE(hog.Connect(running.Port()) && other.Connect(running.Port()));
    const size_t pushed = hog.PushUntilStalled(pattern);
    EXPECT_LT(pushed, 64u << 20) << "the service kept reading from a client that never reads";
    EXPECT_LE(stats.fPeakBufferedBytes.load(), kBuffer);
    const std::string data = PatternBytes(50000, 5);
    std::string echoed, back;
    EXPECT_TRUE(other.Exchange(data, &echoed) && echoed == data);
    // Once the client reads, every byte it pushed comes back, in order.
    ASSERT_TRUE(hog.ReceiveExactly(pushed, &back, 30s));
    for (size_t i = 0; i < back.size(); ++i)
        ASSERT_EQ(back[i], pattern[i % pattern.size()]) << "at " << i;
    EXPECT_LE(stats.fPeakBufferedBytes.load(), 2 * kBuffer);
}

// More connections at once than the listener takes in one run; then accepts fail twice (Windows
// codes): out of descriptors it must pause, not spin; interrupted or reset ones are passed over.
TEST(EchoService, TheListenerServesBurstsBeyondOneRunAndGetsOverFailedAccepts) {
    Running running;
    const size_t burst = 2 * TCPListenerSocket::kAcceptsPerRun;
    // The connections wait in the backlog all at once.
    auto clients = TwoThreadsHeld::During([&] { return ConnectPeers(running.Port(), burst); });
    ASSERT_EQ(clients.size(), burst);
    std::string echoed;
    for (auto& client : clients)
        ASSERT_TRUE(client->Exchange("x", &echoed));
    if (!Platform::kFaultInjectionBuilt) GTEST_SKIP() << "built without fault points";
    const auto pauses = std::chrono::milliseconds(2 * TCPListenerSocket::kAcceptPauseMSec);
    const std::pair<uint32_t, std::chrono::milliseconds> faults[] = {
        {10024, pauses - 20ms}, {10004, 0ms}, {10054, 0ms}};
    for (const auto& [error, least] : faults) {
        Platform::ClearFaults();
        Platform::InjectFault(Platform::FaultPoint::kAccept, error, 2);
        const auto start = Clock::now();
        StreamPeer client;
        EXPECT_TRUE(client.Connect(running.Port()) && client.Exchange("y", &echoed)) << error;
        EXPECT_GE(Clock::now() - start, least) << error;
        EXPECT_EQ(Platform::FaultsTaken(Platform::FaultPoint::kAccept), 2u) << error;
    }
    Platform::ClearFaults();
}

// With every message number taken, each new connection is closed at once and counted; a burst
// makes one report line, one more a report period later the next. Then all are served again.
TEST(EchoService, AtTheMessageNumberLimitNewConnectionsAreClosedCountedAndReportedPerBurst) {
    EchoServiceConfig tcpOnly;  // a datagram task arms on its first run, maybe too late
    tcpOnly.fServeUDP = false;
    Running running(tcpOnly);
    EchoStats& stats = running.Stats();
    const auto report = [&](const char* count) {
        return "TCPListenerSocket: port " + std::to_string(running.Port()) + " closed " + count +
               " at once: all 7169 message numbers of the process are in use";
    };
    std::string text;
    {
        MessageNumberHog hog;
        ReportedAsserts reported;
        const std::pair<size_t, std::string> bursts[] = {{3, report("1 new connection")},
                                                         {1, report("3 new connections")}};
        uint32_t turnedAway = 0;
        for (const auto& [count, line] : bursts) {
            // Both task threads held, the burst is accepted in one run of the listener.
            auto clients =
                TwoThreadsHeld::During([&] { return ConnectPeers(running.Port(), count); });
            ASSERT_EQ(clients.size(), count);
            for (auto& client : clients)
                EXPECT_TRUE(client->ReceiveUntilClosed(&text));
            // A client sees its close before the listener reports it; the connection's task
            // counts it only after.
            turnedAway += uint32_t(count);
            EXPECT_TRUE(
                WaitUntil([&] { return stats.fConnectionsTurnedAway.load() == turnedAway; }));
            EXPECT_EQ(reported.Take(), std::vector<std::string>{line});
            std::this_thread::sleep_for(
                std::chrono::milliseconds(TCPListenerSocket::kTurnedAwayReportMSec));
        }
        EXPECT_EQ(running.fService.GetListener()->GetTurnedAway(), 4u);
        EXPECT_TRUE(WaitUntil([&] { return stats.fOpenConnections.load() == 0; }));
    }
    StreamPeer client;
    EXPECT_TRUE(client.Connect(running.Port()) && client.Exchange("served again", &text));
    EXPECT_EQ(stats.fConnectionsServed.load(), 1u);
}

TEST(EchoService, StoppingWithConnectionsOpenClosesEverySocket) {
    EchoServiceConfig config;
    config.fMaxConnections = 4;
    auto running = std::make_unique<Running>(config);
    EchoStats& stats = running->Stats();
    const uint16_t tcpPort = running->Port(), udpPort = running->fService.GetUDPPort();
    std::vector<std::unique_ptr<StreamPeer>> clients;
    for (uint64_t i = 1; i <= 5; ++i) {
        clients.push_back(std::make_unique<StreamPeer>());
        ASSERT_TRUE(clients.back()->Connect(tcpPort));
        ASSERT_TRUE(
            WaitUntil([&] { return stats.fConnectionsServed + stats.fConnectionsRefused == i; }));
    }
    // The fifth, beyond the limit, is closed at once; of the others one stops mid-message and
    // one does not read.
    std::string text;
    EXPECT_TRUE(clients[4]->ReceiveUntilClosed(&text));
    EXPECT_EQ(stats.fConnectionsRefused.load(), 1u);
    ASSERT_TRUE(clients[0]->SendAll("half a mess"));
    clients[1]->PushUntilStalled(PatternBytes(1u << 16, 1));
    ASSERT_TRUE(clients[2]->Exchange("still served", &text));

    running.reset();  // stops it
    for (auto& client : clients)
        EXPECT_TRUE(client->ReceiveUntilClosed(&text));
    StreamPeer late;
    EXPECT_FALSE(late.Connect(tcpPort));
    EXPECT_TRUE(IsFree(udpPort));
}

TEST(EchoService, WithAnIdleTimeoutASilentConnectionIsClosedAndATalkingOneIsNot) {
    EchoServiceConfig config;
    config.fIdleTimeoutMSec = 300;
    Running running(config);
    StreamPeer silent, talking;
    ASSERT_TRUE(silent.Connect(running.Port()));
    ASSERT_TRUE(talking.Connect(running.Port()));
    std::string text;
    for (int i = 0; i < 8; ++i) {  // twice the timeout in all
        ASSERT_TRUE(talking.Exchange("ping", &text));
        std::this_thread::sleep_for(75ms);
    }
    EXPECT_TRUE(silent.ReceiveUntilClosed(&text));
    EXPECT_TRUE(talking.Exchange("still here", &text));
    EXPECT_EQ(running.Stats().fOpenConnections.load(), 1u);
}

TEST(EchoService, StartFailuresOfServiceAndClientNameTheirCauseAndLeaveNothingOpen) {
    const HeldSocket tcpTaken = TakenListener();
    uint16_t udpTaken = 0, udpFree = 0;
    const HeldSocket udpHolder(OpenBoundDatagramSocket(&udpTaken));
    Platform::CloseSocket(OpenBoundDatagramSocket(&udpFree));  // a port free at the moment
    const auto inUse = [](uint16_t port) {
        return " port " + std::to_string(port) + ": the port is in use";
    };
    const std::tuple<uint32_t, uint16_t, uint16_t, std::string> cases[] = {
        {kLoopbackAddress, tcpTaken.Port(), udpFree, "TCP on 127.0.0.1" + inUse(tcpTaken.Port())},
        {kLoopbackAddress, 0, udpTaken, "UDP on 127.0.0.1" + inUse(udpTaken)},
        {kDocumentationAddress, 0, 0, "192.0.2.1 port 0: the address is not one of this host's"},
    };
    for (const auto& [address, tcpPort, udpPort, text] : cases) {
        EchoService service;
        std::string error;
        EXPECT_FALSE(service.Start({NetAddress::IPv4(address, 0), tcpPort, udpPort}, &error));
        EXPECT_NE(error.find(text), std::string::npos) << error;
        EXPECT_EQ(service.GetLiveTasks(), 0u);
    }
    EXPECT_TRUE(IsFree(udpFree)) << "bound before the listener failed, and kept";
    LoadClient client;  // which sends nowhere but this machine
    std::string error;
    EXPECT_FALSE(client.Start({NetAddress::IPv4(0x0A000001, 0)}, &error));  // 10.0.0.1
    EXPECT_NE(error.find("not a loopback address"), std::string::npos) << error;
}

}  // namespace
