// The echo service and its load client in-process over loopback: every datagram back to
// its sender, one buffer at most for a client that does not read, a clean stop with
// connections open, start failures, the command line, and the load client against the
// service with every byte checked.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "EchoConnectionTask.h"
#include "EchoOptions.h"
#include "EchoService.h"
#include "LoadClient.h"
#include "support/Datagrams.h"
#include "support/Loopback.h"
#include "support/RuntimeEnvironment.h"
#include "support/StreamPeer.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

constexpr int64_t kBuffer = EchoConnectionTask::kBufferSize;

// A service on ports of the system's choosing, stopped when the test ends.
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

TEST(EchoService, UDPSendsEachDatagramBackToItsSender) {
    Running running;
    const uint16_t port = running.fService.GetUDPPort();
    ArmedDatagramSocket first, second;
    ASSERT_TRUE(first.IsOpen() && second.IsOpen());
    const size_t sizes[] = {0, 1, 512, 8192, 65507};
    for (size_t i = 0; i < std::size(sizes); ++i) {
        const std::string one = PatternBytes(sizes[i], 1), two = PatternBytes(sizes[i], 2);
        ASSERT_EQ(first.SendTo(kLoopbackAddress, port, one), 0);
        ASSERT_EQ(second.SendTo(kLoopbackAddress, port, two), 0);
        ASSERT_TRUE(first.WaitFor(i + 1) && second.WaitFor(i + 1)) << sizes[i];
        EXPECT_TRUE(first.At(i).fData == one && second.At(i).fData == two) << sizes[i];
        EXPECT_EQ(first.At(i).fPort, port);
    }
}

TEST(EchoService, AClientThatDoesNotReadIsHeldToOneBufferWhileOthersAreServed) {
    Running running;
    // Gone with bytes unread on both sides while the service waits to send: let go.
    StreamPeer vanishing;
    ASSERT_TRUE(vanishing.Connect(running.Port()));
    vanishing.PushUntilStalled(PatternBytes(1u << 16, 4));
    vanishing.Close();
    EXPECT_TRUE(WaitUntil([&] {
        return running.Stats().fConnectionsServed.load() == 1 &&
               running.Stats().fOpenConnections.load() == 0;
    }));
    EXPECT_EQ(running.Stats().fBufferedBytes.load(), 0);

    const std::string pattern = PatternBytes(1u << 20, 99);
    StreamPeer hog, other;
    ASSERT_TRUE(hog.Connect(running.Port()) && other.Connect(running.Port()));
    const size_t pushed = hog.PushUntilStalled(pattern);
    EXPECT_LT(pushed, 64u << 20) << "the service kept reading from a client that never reads";
    EXPECT_LE(running.Stats().fPeakBufferedBytes.load(), kBuffer);
    const std::string data = PatternBytes(50000, 5);
    std::string echoed, back;
    EXPECT_TRUE(other.Exchange(data, &echoed) && echoed == data);
    // Once the client reads, every byte it pushed comes back, in order.
    ASSERT_TRUE(hog.ReceiveExactly(pushed, &back, 30s));
    for (size_t i = 0; i < back.size(); ++i)
        ASSERT_EQ(back[i], pattern[i % pattern.size()]) << "at " << i;
    EXPECT_LE(running.Stats().fPeakBufferedBytes.load(), 2 * kBuffer);
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
    // The fifth is beyond the limit: closed at once. Of the others one is in the middle of
    // a message and one stuck because it does not read.
    std::string text;
    EXPECT_TRUE(clients[4]->ReceiveUntilClosed(&text));
    EXPECT_EQ(stats.fConnectionsRefused.load(), 1u);
    ASSERT_TRUE(clients[0]->SendAll("half a mess"));
    clients[1]->PushUntilStalled(PatternBytes(1u << 16, 1));
    ASSERT_TRUE(clients[2]->Exchange("still served", &text));

    running.reset();  // stops it
    for (auto& client : clients)
        EXPECT_TRUE(client->ReceiveUntilClosed(&text));
    // No one listens any more, and the datagram port is free again.
    StreamPeer late;
    EXPECT_FALSE(late.Connect(tcpPort));
    const HeldSocket udp(Platform::OpenSocket(Platform::kSocketDatagram));
    const Platform::SocketAddress address = LoopbackAddress(udpPort);
    EXPECT_EQ(Platform::BindSocket(udp.Get(), &address), 0);
}

TEST(EchoService, StartFailuresNameTheirCauseAndLeaveNothingOpenOrRunning) {
    const HeldSocket tcpTaken = TakenListener();
    uint16_t udpTaken = 0, udpFree = 0;
    const HeldSocket udpHolder(OpenBoundDatagramSocket(&udpTaken));
    Platform::CloseSocket(OpenBoundDatagramSocket(&udpFree));  // a port free at the moment
    const struct {
        uint32_t fAddress;
        uint16_t fTCPPort, fUDPPort;
        std::vector<std::string> fTexts;
    } cases[] = {
        {kLoopbackAddress,
         tcpTaken.Port(),
         udpFree,
         {"TCP", std::to_string(tcpTaken.Port()), "in use"}},
        {kLoopbackAddress, 0, udpTaken, {"UDP", std::to_string(udpTaken), "in use"}},
        {kDocumentationAddress, 0, 0, {"192.0.2.1", "not one of this host's"}},
    };
    for (const auto& test : cases) {
        EchoService service;
        std::string error;
        EXPECT_FALSE(service.Start({test.fAddress, test.fTCPPort, test.fUDPPort}, &error));
        for (const std::string& text : test.fTexts)
            EXPECT_NE(error.find(text), std::string::npos) << error;
        EXPECT_EQ(service.GetLiveTasks(), 0u);
    }
    // The datagram port bound before the listener failed was let go.
    const HeldSocket udp(Platform::OpenSocket(Platform::kSocketDatagram));
    const Platform::SocketAddress address = LoopbackAddress(udpFree);
    EXPECT_EQ(Platform::BindSocket(udp.Get(), &address), 0);
}

TEST(EchoOptions, BadOptionsAreNamedAndGoodOnesTaken) {
    const std::pair<std::vector<const char*>, const char*> cases[] = {
        {{"--tcp-port", "70000"}, "bad value '70000' for --tcp-port"},
        {{"--threads"}, "option --threads needs a value"},
        {{"--duration", "1x"}, "bad value '1x' for --duration"},
        {{"--frobnicate"}, "unknown option '--frobnicate'"},
        {{"--bind", "1.2.3.256"}, "bad value '1.2.3.256' for --bind"},
        {{"--load", "--target", "192.168.1.1"}, "not a loopback address"},
        {{"--load", "--connections", "0", "--window", "0"}, "nothing to do"},
        {{"--load", "--tcp-port", "0"}, "needs the service's TCP port"},
        {{"--tcp-port", "0", "--bind", "0.0.0.0", "--threads", "3"}, ""},
        {{"--load", "--target", "127.1.2.3", "--json", "--idle-connections", "5"}, ""},
    };
    for (const auto& [arguments, expected] : cases) {
        EchoOptions options;
        std::string error;
        const bool parsed =
            ParseEchoOptions(int(arguments.size()), arguments.data(), &options, &error);
        // A good line leaves no error; a bad one names its problem.
        EXPECT_EQ(parsed, *expected == '\0') << arguments[0] << ": " << error;
        EXPECT_TRUE(parsed ? error.empty() : error.find(expected) != std::string::npos) << error;
    }
}

// Runs the program with the arguments: its exit status, and what it printed in *output. A
// program that does not end within the limit ends the test process instead.
int RunProgram(const std::string& arguments, std::string* output) {
    const std::string file =
        testing::TempDir() + "echo-program-" +
        std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    const std::string command =
        std::string(ECHO_SERVICE_PROGRAM) + " " + arguments + " >" + file + " 2>&1";
    int status = -1;
    BoundedThread([&] { status = std::system(command.c_str()); }).Join(60s);
    std::stringstream text;
    text << std::ifstream(file, std::ios::binary).rdbuf();
    std::remove(file.c_str());
    *output = text.str();
    std::erase(*output, '\r');                    // Windows ends its lines with CR LF
    return status >= 256 ? status >> 8 : status;  // POSIX puts the status in the second byte
}

TEST(EchoProgram, ProblemsExitWithTheirStatusAndTheUsage) {
    const HeldSocket taken = TakenListener();
    const std::tuple<std::string, int, const char*> cases[] = {
        {"--tcp-port 99999", 2, "echo-service: bad value '99999' for --tcp-port\nusage:"},
        {"--duration 5 --udp-port 0 --tcp-port " + std::to_string(taken.Port()), 1,
         "in use\nusage:"},
        {"--help", 0, "usage:"},
    };
    for (const auto& [arguments, status, text] : cases) {
        std::string output;
        EXPECT_EQ(RunProgram(arguments, &output), status) << arguments;
        EXPECT_NE(output.find(text), std::string::npos) << output;
    }
}

TEST(EchoLoad, ServiceAndClientAgreeOnEveryByte) {
    // Target, ports, connections, message size, idle connections, window, datagram size.
    const LoadConfig cases[] = {
        {kLoopbackAddress, 0, 0, 8, 64, 16, 8, 512},
        // Larger than every buffer on the way: the client must read while it sends, and the
        // service stop and go as the client takes the echo.
        {kLoopbackAddress, 0, 0, 2, 4u << 20, 0, 2, 60000},
    };
    for (LoadConfig config : cases) {
        Running running;
        config.fTCPPort = running.Port();
        config.fUDPPort = running.fService.GetUDPPort();
        LoadClient client;
        std::string error;
        ASSERT_TRUE(client.Start(config, &error)) << error;
        LoadStats& stats = client.Stats();
        // A second at least, ticking as the program does, until every connection is made
        // and each protocol has made some round trips (within a generous limit, for slow
        // runs under analysis tools).
        const uint32_t connections = config.fConnections + config.fIdleConnections;
        const auto start = std::chrono::steady_clock::now();
        const auto enough = [&] {
            return std::chrono::steady_clock::now() - start >= 1s &&
                   stats.fConnected == connections && stats.fTCPRoundTrips >= config.fConnections &&
                   stats.fUDPRoundTrips >= config.fWindow;
        };
        while (!enough() && stats.Errors() == 0 && std::chrono::steady_clock::now() < start + 60s) {
            std::this_thread::sleep_for(100ms);
            client.Tick();
        }
        EXPECT_TRUE(enough()) << config.fMessageSize;
        EXPECT_EQ(running.Stats().fOpenConnections.load(), connections);
        EXPECT_TRUE(client.Stop());
        EXPECT_EQ(stats.Errors(), 0u);
        EXPECT_EQ(stats.fBytesVerified.load(), stats.fTCPRoundTrips * config.fMessageSize +
                                                   stats.fUDPRoundTrips * config.fDatagramSize);
        EXPECT_EQ(stats.fTCPLatency.Count(), stats.fTCPRoundTrips.load());
        EXPECT_LE(running.Stats().fPeakBufferedBytes.load(), kBuffer * connections);
        EXPECT_TRUE(WaitUntil([&] { return running.Stats().fOpenConnections.load() == 0; }));
    }
}

// Connecting without blocking is the load client's: a refused connection must be told.
TEST(EchoLoad, ARefusedClientCountsItsConnectFailures) {
    const HeldSocket refusing = RefusingPort();
    LoadClient client;
    std::string error;
    ASSERT_TRUE(client.Start({kLoopbackAddress, refusing.Port(), 0, 3, 64, 0, 0, 512}, &error))
        << error;
    EXPECT_TRUE(WaitUntil([&] { return client.Stats().fConnectFailures.load() == 3; }));
    EXPECT_TRUE(client.Stop());
    EXPECT_EQ(client.Stats().RoundTrips(), 0u);
    LoadConfig offLoopback;
    offLoopback.fTargetAddress = 0x0A000001;  // 10.0.0.1
    EXPECT_FALSE(client.Start(offLoopback, &error));
    EXPECT_NE(error.find("not a loopback address"), std::string::npos) << error;
}

}  // namespace
