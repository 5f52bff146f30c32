// The echo service and its load client together in one process over loopback for a few
// seconds: every byte that comes back is checked against what was sent. Under Wine this
// is the Windows build's self-test of both. Also the latency histogram's percentiles.
#include <gtest/gtest.h>

#include <thread>

#include "EchoService.h"
#include "LatencyHistogram.h"
#include "LoadClient.h"
#include "support/RuntimeEnvironment.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

// Runs the client against a fresh service for at least the given time, ticking as the
// program does, and until every connection is made and each protocol has made some round
// trips (within a generous limit, for slow runs under analysis tools).
void Drive(EchoService* service, LoadClient* client, LoadConfig config,
           std::chrono::milliseconds length) {
    std::string error;
    ASSERT_TRUE(service->Start(EchoServiceConfig(), &error)) << error;
    config.fTCPPort = service->GetTCPPort();
    config.fUDPPort = service->GetUDPPort();
    ASSERT_TRUE(client->Start(config, &error)) << error;
    LoadStats& stats = client->Stats();
    const auto start = std::chrono::steady_clock::now();
    const auto satisfied = [&] {
        return std::chrono::steady_clock::now() - start >= length &&
               stats.fConnected.load() == config.fConnections + config.fIdleConnections &&
               stats.fTCPRoundTrips.load() >= config.fConnections &&
               stats.fUDPRoundTrips.load() >= config.fWindow;
    };
    const auto limit = start + length + 60s;
    while (!satisfied() && stats.Errors() == 0 && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(100ms);
        client->Tick();
    }
}

void ExpectEveryByteVerified(LoadStats& stats, const LoadConfig& config) {
    EXPECT_EQ(stats.Errors(), 0u);
    EXPECT_EQ(stats.fCorrupted.load(), 0u);
    EXPECT_EQ(stats.fConnectFailures.load(), 0u);
    EXPECT_EQ(stats.fClosedEarly.load(), 0u);
    if (config.fConnections > 0) {
        EXPECT_GT(stats.fTCPRoundTrips.load(), 0u);
    }
    if (config.fWindow > 0) {
        EXPECT_GT(stats.fUDPRoundTrips.load(), 0u);
    }
    EXPECT_EQ(stats.fBytesVerified.load(), stats.fTCPRoundTrips.load() * config.fMessageSize +
                                               stats.fUDPRoundTrips.load() * config.fDatagramSize);
    EXPECT_EQ(stats.fTCPLatency.Count(), stats.fTCPRoundTrips.load());
    EXPECT_EQ(stats.fUDPLatency.Count(), stats.fUDPRoundTrips.load());
}

TEST(EchoLoad, ServiceAndClientAgreeOnEveryByteForSeconds) {
    EchoService service;
    LoadClient client;
    LoadConfig config;
    config.fConnections = 8;
    config.fMessageSize = 64;
    config.fIdleConnections = 16;
    config.fWindow = 8;
    config.fDatagramSize = 512;
    Drive(&service, &client, config, 3s);

    // Every connection, idle ones included, is open on both sides.
    EXPECT_EQ(client.Stats().fConnected.load(), 24u);
    EXPECT_EQ(service.Stats().fOpenConnections.load(), 24u);
    EXPECT_TRUE(client.Stop());
    ExpectEveryByteVerified(client.Stats(), config);
    EXPECT_TRUE(WaitUntil([&] { return service.Stats().fOpenConnections.load() == 0; }));
    EXPECT_GE(service.Stats().fBytesEchoed.load(), client.Stats().fTCPRoundTrips.load() * 64);
    EXPECT_GE(service.Stats().fDatagramsEchoed.load(), client.Stats().fUDPRoundTrips.load());
    EXPECT_TRUE(service.Stop());
    RecordProperty("round_trips", std::to_string(client.Stats().RoundTrips()));
    RecordProperty("lost_datagrams", std::to_string(client.Stats().fLostDatagrams.load()));
}

TEST(EchoLoad, MessagesLargerThanTheBuffersOnTheWayComeBackWhole) {
    // Larger than the service's buffer and the sockets' buffers: the client must read
    // while it sends, and the service must stop and go as the client takes the echo.
    EchoService service;
    LoadClient client;
    LoadConfig config;
    config.fConnections = 2;
    config.fMessageSize = 4u << 20;
    config.fWindow = 2;
    config.fDatagramSize = 60000;
    Drive(&service, &client, config, 2s);
    EXPECT_TRUE(client.Stop());
    ExpectEveryByteVerified(client.Stats(), config);
    EXPECT_LE(service.Stats().fPeakBufferedBytes.load(), 2 * 16 * 1024);
    EXPECT_TRUE(service.Stop());
}

TEST(EchoLoad, AClientWithoutAServiceCountsItsConnectFailures) {
    // A port bound but not listening refuses connections.
    const Platform::SocketHandle bound = Platform::OpenSocket(Platform::kSocketStream);
    Platform::SocketAddress address{};
    address.fFamily = Platform::kAddressFamilyInet;
    address.fAddress = Platform::HostToNetwork32(0x7F000001);
    ASSERT_EQ(Platform::BindSocket(bound, &address), 0);
    Platform::GetSocketName(bound, &address);
    LoadClient client;
    LoadConfig config;
    config.fTCPPort = Platform::NetworkToHost16(address.fPort);
    config.fConnections = 3;
    config.fWindow = 0;
    std::string error;
    ASSERT_TRUE(client.Start(config, &error)) << error;
    EXPECT_TRUE(WaitUntil([&] { return client.Stats().fConnectFailures.load() == 3; }));
    EXPECT_TRUE(client.Stop());
    EXPECT_EQ(client.Stats().RoundTrips(), 0u);
    Platform::CloseSocket(bound);
}

TEST(LatencyHistogram, BucketsStayWithinAFewPercentOfTheirValues) {
    for (uint64_t value : {0ull, 1ull, 31ull, 32ull, 33ull, 100ull, 1000ull, 123456ull, 1ull << 30,
                           (1ull << 40) + 12345}) {
        const uint32_t bucket = LatencyHistogram::BucketOf(value);
        const uint64_t low = LatencyHistogram::LowestIn(bucket);
        EXPECT_LE(low, value) << value;
        EXPECT_GT(LatencyHistogram::LowestIn(bucket + 1), value) << value;
        EXPECT_LE(value - low, value / 32) << value;
    }
    // Buckets follow each other without gaps.
    for (uint32_t bucket = 0; bucket + 1 < LatencyHistogram::kBuckets; ++bucket) {
        ASSERT_EQ(LatencyHistogram::BucketOf(LatencyHistogram::LowestIn(bucket)), bucket);
        ASSERT_LT(LatencyHistogram::LowestIn(bucket), LatencyHistogram::LowestIn(bucket + 1));
    }
}

TEST(LatencyHistogram, PercentilesOfAKnownSpread) {
    auto histogram = std::make_unique<LatencyHistogram>();
    EXPECT_EQ(histogram->Percentile(0.5), 0u);
    for (uint64_t value = 1; value <= 1000; ++value)
        histogram->Record(value);
    EXPECT_EQ(histogram->Count(), 1000u);
    const uint64_t median = histogram->Percentile(0.5);
    const uint64_t p99 = histogram->Percentile(0.99);
    EXPECT_NEAR(double(median), 500.0, 500.0 / 32 + 1);
    EXPECT_NEAR(double(p99), 990.0, 990.0 / 32 + 1);
    auto other = std::make_unique<LatencyHistogram>();
    for (int i = 0; i < 3000; ++i)
        other->Record(5);
    histogram->Add(*other);
    EXPECT_EQ(histogram->Percentile(0.5), 5u);  // three quarters are now 5 us
    histogram->Reset();
    EXPECT_EQ(histogram->Count(), 0u);
}

}  // namespace
