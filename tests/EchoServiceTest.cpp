// The echo service driven in-process over loopback: every byte back in order on TCP,
// every datagram back to its sender, bounded buffering against clients that do not read,
// clean shutdown with connections open, and the clients that misbehave.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "DatagramClient.h"
#include "EchoConnectionTask.h"
#include "EchoOptions.h"
#include "EchoService.h"
#include "LoadClient.h"
#include "StreamClient.h"
#include "support/RuntimeEnvironment.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

constexpr int64_t kConnectionBuffer = EchoConnectionTask::kBufferSize;

class EchoServiceTest : public testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(fService.Start(EchoServiceConfig(), &error)) << error;
        ASSERT_NE(fService.GetTCPPort(), 0);
        ASSERT_NE(fService.GetUDPPort(), 0);
    }
    void TearDown() override {
        EXPECT_TRUE(fService.Stop());
        EXPECT_EQ(fService.GetLiveTasks(), 0u);
    }
    uint32_t Open() { return fService.Stats().fOpenConnections.load(); }

    EchoService fService;
};

// Pushes bytes of the pattern without reading until the service stops taking them (the
// socket stays full for a while) or a generous cap is reached; returns how many went.
size_t PushUntilStalled(StreamClient* client, const std::string& pattern) {
    constexpr size_t kCap = 64u << 20;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    auto lastProgress = std::chrono::steady_clock::now();
    size_t pushed = 0;
    while (pushed < kCap && std::chrono::steady_clock::now() < deadline &&
           std::chrono::steady_clock::now() - lastProgress < 300ms) {
        const size_t offset = pushed % pattern.size();
        const int64_t sent = client->SendSome(pattern.data() + offset, pattern.size() - offset);
        if (sent < 0) break;
        if (sent == 0) {
            std::this_thread::sleep_for(1ms);
            continue;
        }
        pushed += size_t(sent);
        lastProgress = std::chrono::steady_clock::now();
    }
    return pushed;
}

bool MatchesPattern(const std::string& received, const std::string& pattern) {
    for (size_t i = 0; i < received.size(); ++i)
        if (received[i] != pattern[i % pattern.size()]) return false;
    return true;
}

TEST_F(EchoServiceTest, TCPSendsEveryByteBackInOrderOnEachConnection) {
    const size_t sizes[] = {1, 1000, 100000, 1u << 20};
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (size_t i = 0; i < std::size(sizes); ++i) {
        threads.emplace_back([&, i] {
            StreamClient client;
            if (!client.Connect(fService.GetTCPPort())) return;
            // Every byte value, at every position a different one.
            const std::string data = PatternBytes(sizes[i], uint32_t(i + 1));
            std::string echoed;
            if (client.Exchange(data, &echoed) && echoed == data) good.fetch_add(1);
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(good.load(), int(std::size(sizes)));
    EXPECT_TRUE(WaitUntil([&] { return Open() == 0; }));
    EXPECT_EQ(fService.Stats().fConnectionsServed.load(), std::size(sizes));
    EXPECT_EQ(fService.Stats().fBytesEchoed.load(), 1u + 1000 + 100000 + (1u << 20));
    EXPECT_EQ(fService.Stats().fBufferedBytes.load(), 0);
}

TEST_F(EchoServiceTest, UDPSendsEachDatagramBackToItsSender) {
    DatagramClient first, second;
    ASSERT_TRUE(first.IsOpen() && second.IsOpen());
    const size_t sizes[] = {1, 512, 8192, 65507};
    for (size_t size : sizes) {
        const std::string one = PatternBytes(size, uint32_t(size));
        const std::string two = PatternBytes(size, uint32_t(size) + 7);
        ASSERT_TRUE(first.Send(fService.GetUDPPort(), one)) << size;
        ASSERT_TRUE(second.Send(fService.GetUDPPort(), two)) << size;
        std::string echoed;
        uint16_t from = 0;
        ASSERT_TRUE(first.Receive(&echoed, &from)) << size;
        EXPECT_EQ(echoed, one);
        EXPECT_EQ(from, fService.GetUDPPort());
        ASSERT_TRUE(second.Receive(&echoed, &from)) << size;
        EXPECT_EQ(echoed, two);
    }
    // An empty datagram is a datagram too.
    ASSERT_TRUE(first.Send(fService.GetUDPPort(), ""));
    std::string echoed = "x";
    uint16_t from = 0;
    ASSERT_TRUE(first.Receive(&echoed, &from));
    EXPECT_EQ(echoed, "");
    EXPECT_EQ(fService.Stats().fDatagramsEchoed.load(), 2 * std::size(sizes) + 1);
}

TEST_F(EchoServiceTest, AClientThatNeverReadsIsHeldToOneBufferWhileOthersAreServed) {
    const std::string pattern = PatternBytes(1u << 20, 99);
    StreamClient hog;
    ASSERT_TRUE(hog.Connect(fService.GetTCPPort()));
    const size_t pushed = PushUntilStalled(&hog, pattern);
    // The service stopped reading: what it holds is one buffer at most, whatever the
    // kernel's buffers took on the way.
    EXPECT_LT(pushed, 64u << 20) << "the service kept reading from a client that never reads";
    EXPECT_LE(fService.Stats().fBufferedBytes.load(), kConnectionBuffer);
    EXPECT_LE(fService.Stats().fPeakBufferedBytes.load(), kConnectionBuffer);

    // Everyone else is still served meanwhile.
    StreamClient other;
    ASSERT_TRUE(other.Connect(fService.GetTCPPort()));
    const std::string data = PatternBytes(50000, 5);
    std::string echoed;
    ASSERT_TRUE(other.Exchange(data, &echoed));
    EXPECT_EQ(echoed, data);

    // Once the client reads, every byte it pushed comes back, in order.
    std::string back;
    ASSERT_TRUE(hog.ReceiveExactly(pushed, &back, 30s));
    EXPECT_TRUE(MatchesPattern(back, pattern));
    EXPECT_LE(fService.Stats().fPeakBufferedBytes.load(), 2 * kConnectionBuffer);
    RecordProperty("bytes_pushed", std::to_string(pushed));
}

TEST_F(EchoServiceTest, AClientThatVanishesWhileTheServiceWaitsToSendIsLetGo) {
    StreamClient hog;
    ASSERT_TRUE(hog.Connect(fService.GetTCPPort()));
    PushUntilStalled(&hog, PatternBytes(1u << 16, 4));
    ASSERT_TRUE(WaitUntil([&] { return Open() == 1; }));
    // Gone with bytes unread on both sides: the connection is reset, and the service,
    // waiting to send, notices.
    hog.Close();
    EXPECT_TRUE(WaitUntil([&] { return Open() == 0; }));
    EXPECT_EQ(fService.Stats().fBufferedBytes.load(), 0);
}

TEST_F(EchoServiceTest, AHalfClosedClientGetsEverythingBackAndThenTheEnd) {
    StreamClient client;
    ASSERT_TRUE(client.Connect(fService.GetTCPPort()));
    const std::string data = PatternBytes(200000, 3);
    std::string echoed;
    // Send it all while reading, then half-close and read the rest until the end.
    ASSERT_TRUE(client.Exchange(data.substr(0, 150000), &echoed));
    ASSERT_TRUE(client.SendAll(data.substr(150000)));
    client.ShutdownSend();
    ASSERT_TRUE(client.ReceiveUntilClosed(&echoed));
    EXPECT_EQ(echoed.size(), data.size());
    EXPECT_TRUE(echoed == data);
    EXPECT_TRUE(WaitUntil([&] { return Open() == 0; }));
}

TEST_F(EchoServiceTest, VanishingAndMisbehavingClientsCostOthersNothing) {
    std::atomic<int> rounds{0};
    std::atomic<int> failures{0};
    std::jthread steady([&](std::stop_token done) {
        StreamClient client;
        if (!client.Connect(fService.GetTCPPort())) {
            failures.fetch_add(1);
            return;
        }
        for (uint32_t round = 1; !done.stop_requested() || round <= 20; ++round) {
            const std::string data = PatternBytes(4096 + round, round);
            std::string echoed;
            if (!client.Exchange(data, &echoed) || echoed != data) failures.fetch_add(1);
            rounds.fetch_add(1);
        }
    });
    for (int i = 0; i < 20; ++i) {  // connect and vanish
        StreamClient client;
        ASSERT_TRUE(client.Connect(fService.GetTCPPort()));
    }
    for (int i = 0; i < 10; ++i) {  // send and vanish without reading the echo
        StreamClient client;
        ASSERT_TRUE(client.Connect(fService.GetTCPPort()));
        ASSERT_TRUE(client.SendAll(PatternBytes(50000, uint32_t(i))));
    }
    for (int i = 0; i < 5; ++i) {  // every byte value, then vanish mid-echo
        StreamClient client;
        ASSERT_TRUE(client.Connect(fService.GetTCPPort()));
        std::string garbage;
        for (int value = 0; value < 256; ++value)
            garbage.push_back(char(value));
        std::string echoed;
        ASSERT_TRUE(client.Exchange(garbage, &echoed));
        EXPECT_EQ(echoed, garbage);
        ASSERT_TRUE(client.SendAll(garbage));
    }
    steady.request_stop();
    steady.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GE(rounds.load(), 20);
    EXPECT_TRUE(WaitUntil([&] { return Open() == 0; })) << Open();
    EXPECT_EQ(fService.Stats().fConnectionsServed.load(), 36u);
    EXPECT_EQ(fService.Stats().fBufferedBytes.load(), 0);
}

TEST(EchoServiceShutdown, StoppingWithConnectionsOpenClosesEverySocket) {
    EchoService service;
    std::string error;
    ASSERT_TRUE(service.Start(EchoServiceConfig(), &error)) << error;
    const uint16_t tcpPort = service.GetTCPPort();
    const uint16_t udpPort = service.GetUDPPort();
    std::vector<std::unique_ptr<StreamClient>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::make_unique<StreamClient>());
        ASSERT_TRUE(clients.back()->Connect(tcpPort));
    }
    // One in the middle of a message, one stuck because it does not read.
    ASSERT_TRUE(clients[0]->SendAll("half a mess"));
    PushUntilStalled(clients[1].get(), PatternBytes(1u << 16, 1));
    ASSERT_TRUE(WaitUntil([&] { return service.Stats().fOpenConnections.load() == 4; }));

    EXPECT_TRUE(service.Stop());
    EXPECT_EQ(service.GetLiveTasks(), 0u);
    EXPECT_EQ(service.Stats().fOpenConnections.load(), 0u);
    EXPECT_EQ(service.Stats().fBufferedBytes.load(), 0);
    for (auto& client : clients) {
        std::string rest;
        EXPECT_TRUE(client->ReceiveUntilClosed(&rest));
    }
    // No one listens any more, and the datagram port is free again.
    StreamClient late;
    EXPECT_FALSE(late.Connect(tcpPort));
    const Platform::SocketHandle udp = Platform::OpenSocket(Platform::kSocketDatagram);
    const Platform::SocketAddress address = LoopbackAddress(udpPort);
    EXPECT_EQ(Platform::BindSocket(udp, &address), 0);
    Platform::CloseSocket(udp);
    // Stopping twice is harmless.
    EXPECT_TRUE(service.Stop());
}

TEST(EchoServiceLimits, ConnectionsBeyondTheLimitAreClosedAtOnce) {
    EchoServiceConfig config;
    config.fMaxConnections = 2;
    EchoService service;
    std::string error;
    ASSERT_TRUE(service.Start(config, &error)) << error;
    StreamClient first, second, third;
    ASSERT_TRUE(first.Connect(service.GetTCPPort()));
    ASSERT_TRUE(second.Connect(service.GetTCPPort()));
    ASSERT_TRUE(WaitUntil([&] { return service.Stats().fOpenConnections.load() == 2; }));
    ASSERT_TRUE(third.Connect(service.GetTCPPort()));
    std::string nothing;
    EXPECT_TRUE(third.ReceiveUntilClosed(&nothing));
    EXPECT_EQ(service.Stats().fConnectionsRefused.load(), 1u);
    // The two within the limit still echo.
    std::string echoed;
    EXPECT_TRUE(second.Exchange("still here", &echoed));
    EXPECT_EQ(echoed, "still here");
    EXPECT_TRUE(service.Stop());
}

// A port that is free at the moment, of the given type.
uint16_t FreePort(int32_t type) {
    const Platform::SocketHandle socket = Platform::OpenSocket(type);
    const Platform::SocketAddress any = LoopbackAddress(0);
    Platform::BindSocket(socket, &any);
    const uint16_t port = PortOf(socket);
    Platform::CloseSocket(socket);
    return port;
}

TEST(EchoServiceStart, APortInUseFailsWithItsCauseAndLeavesNothingRunning) {
    // TCP port taken by a listener: the UDP port the service had bound is let go.
    const Platform::SocketHandle taken = Platform::OpenSocket(Platform::kSocketStream);
    const Platform::SocketAddress any = LoopbackAddress(0);
    ASSERT_EQ(Platform::BindSocket(taken, &any), 0);
    ASSERT_EQ(Platform::ListenSocket(taken, 4), 0);
    EchoServiceConfig config;
    config.fTCPPort = PortOf(taken);
    config.fUDPPort = FreePort(Platform::kSocketDatagram);
    {
        EchoService service;
        std::string error;
        EXPECT_FALSE(service.Start(config, &error));
        EXPECT_NE(error.find("in use"), std::string::npos) << error;
        EXPECT_NE(error.find(std::to_string(config.fTCPPort)), std::string::npos) << error;
        EXPECT_EQ(service.GetLiveTasks(), 0u);
    }
    const Platform::SocketHandle udp = Platform::OpenSocket(Platform::kSocketDatagram);
    const Platform::SocketAddress udpAddress = LoopbackAddress(config.fUDPPort);
    EXPECT_EQ(Platform::BindSocket(udp, &udpAddress), 0) << "the service kept its UDP port";

    // UDP port taken: no listener is left behind either.
    EchoServiceConfig second;
    second.fUDPPort = config.fUDPPort;
    {
        EchoService service;
        std::string error;
        EXPECT_FALSE(service.Start(second, &error));
        EXPECT_NE(error.find("UDP"), std::string::npos) << error;
        EXPECT_NE(error.find("in use"), std::string::npos) << error;
        EXPECT_EQ(service.GetLiveTasks(), 0u);
    }
    Platform::CloseSocket(udp);
    Platform::CloseSocket(taken);
}

TEST(EchoServiceStart, AnAddressThatIsNotLocalIsRefused) {
    EchoServiceConfig config;
    config.fBindAddress = 0xC0000201;  // 192.0.2.1, a documentation address
    EchoService service;
    std::string error;
    EXPECT_FALSE(service.Start(config, &error));
    EXPECT_NE(error.find("192.0.2.1"), std::string::npos) << error;
    EXPECT_NE(error.find("not one of this host's"), std::string::npos) << error;
    EXPECT_EQ(service.GetLiveTasks(), 0u);
}

TEST(EchoServiceStart, TheLoadClientRefusesTargetsOffLoopback) {
    LoadClient client;
    LoadConfig config;
    config.fTargetAddress = 0x0A000001;  // 10.0.0.1
    config.fTCPPort = 7;
    std::string error;
    EXPECT_FALSE(client.Start(config, &error));
    EXPECT_NE(error.find("not a loopback address"), std::string::npos) << error;
}

struct OptionCase {
    std::vector<const char*> fArguments;
    const char* fError;  // a part of the expected error, or null when they are good
};

TEST(EchoOptions, BadOptionsAreNamedAndGoodOnesTaken) {
    const OptionCase cases[] = {
        {{"--tcp-port", "70000"}, "bad value '70000' for --tcp-port"},
        {{"--udp-port", "-1"}, "bad value '-1' for --udp-port"},
        {{"--threads"}, "option --threads needs a value"},
        {{"--threads", "0"}, "bad value '0' for --threads"},
        {{"--duration", "1x"}, "bad value '1x' for --duration"},
        {{"--frobnicate"}, "unknown option '--frobnicate'"},
        {{"--bind", "localhost"}, "bad value 'localhost' for --bind"},
        {{"--bind", "1.2.3.256"}, "bad value '1.2.3.256' for --bind"},
        {{"--load", "--target", "10.0.0.1"}, "not a loopback address"},
        {{"--load", "--target", "192.168.1.1"}, "not a loopback address"},
        {{"--load", "--connections", "0", "--window", "0"}, "nothing to do"},
        {{"--load", "--tcp-port", "0"}, "needs the service's TCP port"},
        {{"--load", "--datagram-size", "8"}, "bad value '8' for --datagram-size"},
        {{"--tcp-port", "0", "--udp-port", "9", "--bind", "0.0.0.0", "--threads", "3"}, nullptr},
        {{"--load", "--target", "127.1.2.3", "--json", "--idle-connections", "5"}, nullptr},
    };
    for (const OptionCase& test : cases) {
        EchoOptions options;
        std::string error;
        const bool parsed =
            ParseEchoOptions(int(test.fArguments.size()), test.fArguments.data(), &options, &error);
        if (test.fError == nullptr) {
            EXPECT_TRUE(parsed) << error;
        } else {
            EXPECT_FALSE(parsed) << test.fArguments[0];
            EXPECT_NE(error.find(test.fError), std::string::npos) << error;
        }
    }
    EchoOptions defaults;
    std::string error;
    ASSERT_TRUE(ParseEchoOptions(0, nullptr, &defaults, &error));
    EXPECT_EQ(defaults.fMode, EchoOptions::Mode::kServe);
    EXPECT_EQ(defaults.fBindAddress, 0x7F000001u);
    EXPECT_EQ(defaults.fDurationSeconds, 0u);  // serve until interrupted
    const char* load[] = {"--load"};
    EchoOptions loadOptions;
    ASSERT_TRUE(ParseEchoOptions(1, load, &loadOptions, &error));
    EXPECT_EQ(loadOptions.fDurationSeconds, 10u);  // the load client always stops
}

// Runs the program with the arguments; its exit status, and what it printed in *output.
int RunProgram(const std::string& arguments, std::string* output) {
    const std::string file =
        testing::TempDir() + "echo-program-output-" +
        std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ".txt";
    std::remove(file.c_str());
    const std::string command =
        std::string(ECHO_SERVICE_PROGRAM) + " " + arguments + " >" + file + " 2>&1";
    const int status = std::system(command.c_str());
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    in.close();
    std::remove(file.c_str());
    *output = text.str();
    // Text written on Windows ends its lines with CR LF.
    std::erase(*output, '\r');
    // POSIX reports the exit status in the second byte, Windows as it is.
    return status >= 256 ? status >> 8 : status;
}

TEST(EchoProgram, BadInputExitsWithOneLineUsageAndAFailureStatus) {
    std::string output;
    EXPECT_EQ(RunProgram("--tcp-port 99999", &output), 2);
    EXPECT_EQ(output.rfind("echo-service: bad value '99999' for --tcp-port\nusage:", 0), 0u)
        << output;

    const Platform::SocketHandle taken = Platform::OpenSocket(Platform::kSocketStream);
    const Platform::SocketAddress any = LoopbackAddress(0);
    ASSERT_EQ(Platform::BindSocket(taken, &any), 0);
    ASSERT_EQ(Platform::ListenSocket(taken, 4), 0);
    EXPECT_EQ(RunProgram("--udp-port 0 --tcp-port " + std::to_string(PortOf(taken)), &output), 1);
    EXPECT_NE(output.find("port is in use\nusage:"), std::string::npos) << output;
    Platform::CloseSocket(taken);

    EXPECT_EQ(RunProgram("--load --target 10.1.1.1", &output), 2);
    EXPECT_NE(output.find("not a loopback address"), std::string::npos) << output;

    EXPECT_EQ(RunProgram("--help", &output), 0);
    EXPECT_EQ(output.rfind("usage:", 0), 0u) << output;
}

TEST(EchoProgram, ServesForItsDurationAndPrintsWhatItDid) {
    std::string output;
    EXPECT_EQ(RunProgram("--tcp-port 0 --udp-port 0 --threads 1 --duration 1", &output), 0);
    EXPECT_NE(output.find("serving echo on tcp 127.0.0.1:"), std::string::npos) << output;
    EXPECT_NE(output.find("stopped: 0 connections served"), std::string::npos) << output;
}

}  // namespace
