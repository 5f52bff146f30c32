// Churn and soak for a bounded time (CU_SOAK_SECONDS, a few seconds by default; the soak
// script runs it for as long as asked): connections to the echo service opened and closed,
// some reset, some vanishing, while others carry traffic whose every byte is checked, and
// contexts armed and disposed while datagrams for them are in flight. Nothing may be
// corrupted, and the process must end with no more descriptors, threads or memory.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>

#include "EchoService.h"
#include "support/Datagrams.h"
#include "support/RuntimeEnvironment.h"
#include "support/StreamPeer.h"

namespace {

using namespace std::chrono_literals;

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

// How much more resident memory the process may hold at the end. AddressSanitizer keeps
// freed memory in quarantine, so resident memory says nothing about leaks there (its leak
// checker does).
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

// Connects, and talks properly, leaves without reading, or resets; the bytes checked.
uint64_t ChurnOnce(uint16_t port, uint32_t round) {
    StreamPeer client;
    const std::string message = "churn " + std::to_string(round);
    std::string echo;
    if (!client.Connect(port) || !client.SendAll(message)) return 0;
    if (round % 3 == 2) client.CloseWithReset();
    if (round % 3 != 0) return 0;
    EXPECT_TRUE(client.ReceiveExactly(message.size(), &echo));
    EXPECT_EQ(echo, message);
    return echo.size();
}

TEST(Soak, EverythingAtOnceCorruptsNothingAndLeaksNothing) {
    {
        // What lives for the whole process (the event loop's source, the task threads'
        // events) is made by a first delivery; the baseline comes after it.
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
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> verified{0};
    std::atomic<uint32_t> churned{0}, disposed{0};
    {
        std::vector<std::unique_ptr<BoundedThread>> threads;
        const auto start = [&](std::function<void()> body) {
            threads.push_back(std::make_unique<BoundedThread>(std::move(body)));
        };
        for (uint32_t seed = 1; seed <= 3; ++seed) {
            start([&, seed] {  // one message in flight, every byte checked
                StreamPeer client;
                ASSERT_TRUE(client.Connect(port));
                std::mt19937 random(seed);
                while (!stop) {
                    const std::string message = PatternBytes(1 + random() % 8192, random());
                    std::string echo;
                    ASSERT_TRUE(client.Exchange(message, &echo));
                    ASSERT_TRUE(echo == message);
                    verified += echo.size();
                }
            });
        }
        start([&] {
            for (uint32_t round = 0; !stop; ++round, ++churned)
                verified += ChurnOnce(port, round);
        });
        start([&] {  // contexts disposed with deliveries possibly on their way
            for (; !stop; ++disposed) {
                ArmedDatagramSocket socket;
                for (int i = 0; i < 5; ++i)
                    socket.SendTo(kLoopbackAddress, socket.Port(), "d");
            }
        });
        while (std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(50ms);
        stop = true;
    }
    ASSERT_TRUE(service.Stop());
    EXPECT_TRUE(verified > 0 && churned > 0 && disposed > 0);
    std::printf("soak: %u connections churned, %llu bytes verified, %u contexts disposed\n",
                churned.load(), (unsigned long long)verified.load(), disposed.load());

    // Nothing leaked: descriptors and threads back to where they were (sockets in the
    // middle of closing are given a moment), memory within a modest margin.
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
