// Churn and soak for CU_SOAK_SECONDS (4 by default): connections opened and closed, some
// reset or vanishing, beside checked traffic, and contexts disposed with datagrams in
// flight. Nothing may be corrupted, and nothing leak: descriptors, threads or memory.

#include <cstdio>
#include <cstdlib>

#include "EchoService.h"
#include "LoadClient.h"
#include "support/Datagrams.h"
#include "support/RuntimeEnvironment.h"
#include "support/StreamPeer.h"

namespace {

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

// Growth of resident memory allowed; meaningless under AddressSanitizer (its leak checker).
#if defined(__SANITIZE_ADDRESS__)
constexpr uint64_t kResidentMargin = uint64_t(1) << 40;
#else
constexpr uint64_t kResidentMargin = 64u << 20;
#endif

std::chrono::seconds SoakDuration() {
    const char* text = std::getenv("CU_SOAK_SECONDS");
    const int seconds = text != nullptr ? std::atoi(text) : 0;
    return std::chrono::seconds(seconds > 0 ? seconds : 4);
}

TEST(Soak, EverythingAtOnceCorruptsNothingAndLeaksNothing) {
    {
        // What lives for the whole process is made by a first delivery: the baseline follows.
        ArmedDatagramSocket warmUp;
        ASSERT_EQ(warmUp.SendTo(kLoopbackAddress, warmUp.Port(), "warm"), 0);
        ASSERT_TRUE(warmUp.WaitFor(1));
    }
    const Platform::ProcessResources before = Platform::CurrentProcessResources();
    const auto deadline = std::chrono::steady_clock::now() + SoakDuration();
    EchoService service;
    std::string error;
    ASSERT_TRUE(service.Start(EchoServiceConfig(), &error)) << error;
    const uint16_t port = service.GetTCPPort();
    LoadClient load;  // messages and datagrams in flight, every byte checked
    ASSERT_TRUE(load.Start(
        {NetAddress::IPv4(kLoopbackAddress, 0), port, service.GetUDPPort(), 3, 4096}, &error));
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> verified{0};
    std::atomic<uint32_t> churned{0}, disposed{0};
    {
        std::vector<std::unique_ptr<BoundedThread>> threads;
        const auto start = [&](std::function<void()> body) {
            threads.push_back(std::make_unique<BoundedThread>(std::move(body)));
        };
        start([&] {  // connections that talk properly, leave without reading, or reset
            for (uint32_t round = 0; !stop; ++round, ++churned) {
                StreamPeer client;
                const std::string message = "churn " + std::to_string(round);
                std::string echo;
                ASSERT_TRUE(client.Connect(port) && client.SendAll(message));
                if (round % 3 == 2) client.CloseWithReset();
                if (round % 3 != 0) continue;
                ASSERT_TRUE(client.ReceiveExactly(message.size(), &echo) && echo == message);
                verified += echo.size();
            }
        });
        start([&] {  // contexts disposed with deliveries possibly on their way
            for (; !stop; ++disposed) {
                ArmedDatagramSocket socket;
                for (int i = 0; i < 5; ++i)
                    socket.SendTo(kLoopbackAddress, socket.Port(), "d");
            }
        });
        while (std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(100ms);
            load.Tick();
        }
        stop = true;
    }
    ASSERT_TRUE(load.Stop());
    EXPECT_EQ(load.Stats().Errors(), 0u);
    verified += load.Stats().fBytesVerified;
    ASSERT_TRUE(service.Stop());
    EXPECT_TRUE(verified > 0 && churned > 0 && disposed > 0);
    std::printf("soak: %u connections churned, %llu bytes verified, %u contexts disposed\n",
                churned.load(), (unsigned long long)verified.load(), disposed.load());

    // Descriptors and threads back where they were (closing sockets given a moment).
    Platform::ProcessResources after{};
    WaitUntil([&] {
        after = Platform::CurrentProcessResources();
        return after.fHandles <= before.fHandles && after.fThreads <= before.fThreads;
    });
    EXPECT_LE(after.fHandles, before.fHandles);
    EXPECT_LE(after.fThreads, before.fThreads);
    EXPECT_LT(after.fResidentBytes, before.fResidentBytes + kResidentMargin);
}

}  // namespace
