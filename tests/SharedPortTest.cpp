// Listeners sharing one port: the system hands each some of the connections, and every
// connection is served whichever took it.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "EchoService.h"
#include "support/RuntimeEnvironment.h"
#include "support/StreamPeer.h"

namespace {

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

TEST(SharedPort, TwoServicesOnOnePortEachServeSomeOfItsConnections) {
    EchoServiceConfig config;
    config.fServeUDP = false;
    config.fShareTCPPort = true;
    EchoService first, second, unshared;
    std::string error;
    if (!first.Start(config, &error)) {
        // Windows shares no port among listeners.
        ASSERT_NE(error.find("not supported"), std::string::npos) << error;
        GTEST_SKIP() << "this platform shares no listening port: " << error;
    }
    config.fTCPPort = first.GetTCPPort();
    ASSERT_TRUE(second.Start(config, &error)) << error;
    config.fShareTCPPort = false;
    EXPECT_FALSE(unshared.Start(config, &error)) << "a listener that did not ask shares nothing";

    std::vector<std::unique_ptr<StreamPeer>> clients(24);
    for (auto& client : clients) {
        client = std::make_unique<StreamPeer>();
        ASSERT_TRUE(client->Connect(config.fTCPPort));
        std::string echoed;
        ASSERT_TRUE(client->Exchange("shared", &echoed));
        EXPECT_EQ(echoed, "shared");
    }
    EXPECT_EQ(first.Stats().fConnectionsServed + second.Stats().fConnectionsServed, 24u);
    EXPECT_GT(first.Stats().fConnectionsServed, 0u);
    EXPECT_GT(second.Stats().fConnectionsServed, 0u);
}

}  // namespace
