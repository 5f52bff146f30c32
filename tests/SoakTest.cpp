// Churn and soak: for a bounded time (CU_SOAK_SECONDS, a few seconds by default; the
// soak script runs it for as long as asked), everything at once:
// - connections opened and closed against the echo service, some reset, some vanishing,
//   while other connections carry traffic whose every byte is verified;
// - contexts armed and disposed while datagrams for them are in flight;
// - tasks created, signalled from several threads through the registry, and deleted;
// and at the end the pool is removed with work queued. Nothing may be lost or corrupted,
// and the process must hold no more descriptors, threads or memory than it began with.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "EchoService.h"
#include "OSRef.h"
#include "StreamClient.h"
#include "support/Loopback.h"
#include "support/RuntimeEnvironment.h"
#include "support/TaskProbe.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

// AddressSanitizer keeps freed memory in quarantine, so resident memory says nothing about
// leaks there (its leak checker does).
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kResidentMemoryMeaningful = false;
#else
constexpr bool kResidentMemoryMeaningful = true;
#endif

std::chrono::seconds SoakDuration() {
    const char* text = std::getenv("CU_SOAK_SECONDS");
    const int seconds = text != nullptr ? std::atoi(text) : 0;
    return std::chrono::seconds(seconds > 0 ? seconds : 4);
}

// Connects, exchanges a few verified messages, and leaves in one of three ways.
void ChurnOnce(uint16_t port, uint32_t round, uint64_t* verified) {
    StreamClient client;
    if (!client.Connect(port)) return;
    const std::string message = "churn " + std::to_string(round);
    switch (round % 3) {
        case 0: {  // a proper conversation
            ASSERT_TRUE(client.SendAll(message));
            std::string echo;
            ASSERT_TRUE(client.ReceiveExactly(message.size(), &echo));
            ASSERT_EQ(echo, message);
            *verified += echo.size();
            break;
        }
        case 1:  // sends and vanishes without reading
            client.SendAll(message);
            break;
        case 2:  // sends and resets
            client.SendAll(message);
            client.CloseWithReset();
            break;
    }
}

// One connection that keeps a message in flight and checks every byte that comes back.
void VerifiedTraffic(uint16_t port, uint32_t seed, const std::atomic<bool>& stop,
                     std::atomic<uint64_t>* verified, std::atomic<bool>* corrupted) {
    StreamClient client;
    ASSERT_TRUE(client.Connect(port));
    std::mt19937 random(seed);
    while (!stop) {
        std::string message(1 + random() % 8192, '\0');
        for (char& byte : message)
            byte = char(random());
        ASSERT_TRUE(client.SendAll(message));
        std::string echo;
        ASSERT_TRUE(client.ReceiveExactly(message.size(), &echo));
        if (echo != message) *corrupted = true;
        *verified += echo.size();
    }
}

// A task reachable only through the registry: signallers acquire it by name, signal and
// release it; it takes its name out (waiting for them) before it asks to be deleted.
class RegisteredTask : public Task {
public:
    RegisteredTask(OSRefRegistry* registry, uint32_t id, std::atomic<uint32_t>* live)
        : fRegistry(registry), fId(id), fLive(live) {
        fRef.Set(StrPtrLen(reinterpret_cast<char*>(&fId), sizeof(fId)), this);
        fLive->fetch_add(1);
        fRegistry->Insert(&fRef);
    }
    ~RegisteredTask() override { fLive->fetch_sub(1); }

    int64_t Run() override {
        TakeEvents();
        if (++fRuns < 20) return 0;
        fRegistry->Remove(&fRef, 0);  // signallers that hold it finish first
        return -1;
    }

private:
    OSRefRegistry* fRegistry;
    uint32_t fId;
    std::atomic<uint32_t>* fLive;
    OSRef fRef;
    uint32_t fRuns = 0;
};

TEST(Soak, EverythingAtOnceLosesNothingAndLeaksNothing) {
    // Warm up what lives for the whole process (the event loop's first wait, per-thread
    // events), then take the baseline.
    std::this_thread::sleep_for(50ms);
    const Platform::ProcessResources before = Platform::CurrentProcessResources();
    const auto deadline = Clock::now() + SoakDuration();

    EchoService service;
    std::string error;
    ASSERT_TRUE(service.Start(EchoServiceConfig(), &error)) << error;
    const uint16_t port = service.GetTCPPort();
    std::atomic<bool> stop{false};
    std::atomic<bool> corrupted{false};
    std::atomic<uint64_t> verified{0};

    std::vector<std::thread> threads;
    for (uint32_t i = 0; i < 3; ++i) {
        threads.emplace_back(
            [&, i] { VerifiedTraffic(port, 1000 + i, stop, &verified, &corrupted); });
    }
    std::atomic<uint32_t> churned{0};
    threads.emplace_back([&] {
        uint64_t churnVerified = 0;
        for (uint32_t round = 0; !stop; ++round) {
            ChurnOnce(port, round, &churnVerified);
            churned.fetch_add(1);
        }
        verified += churnVerified;
    });

    // Contexts armed and disposed while datagrams for them arrive.
    std::atomic<uint32_t> disposed{0};
    threads.emplace_back([&] {
        while (!stop) {
            uint16_t udpPort = 0;
            const Platform::SocketHandle handle = OpenBoundDatagramSocket(&udpPort);
            TaskProbe task;
            auto context = std::make_unique<EventContext>(-1, RuntimeEnvironment::EventLoop());
            context->SetNonBlocking(handle);
            context->SetTask(&task);
            context->ArmEvent(kWatchRead);
            for (int i = 0; i < 5; ++i)
                SendDatagramTo(udpPort, "d", 1);
            context.reset();  // disposed with deliveries possibly on their way
            disposed.fetch_add(1);
        }
    });

    // Tasks created, signalled from several threads and deleted.
    OSRefRegistry registry(64);
    std::atomic<uint32_t> liveTasks{0};
    std::atomic<uint32_t> nextId{1};
    threads.emplace_back([&] {
        while (!stop) {
            if (liveTasks.load() < 50)
                new RegisteredTask(&registry, nextId.fetch_add(1), &liveTasks);
            std::this_thread::sleep_for(100us);
        }
    });
    for (int s = 0; s < 3; ++s) {
        threads.emplace_back([&, s] {
            std::mt19937 random(s);
            while (!stop) {
                uint32_t id = 1 + random() % nextId.load();
                StrPtrLen name(reinterpret_cast<char*>(&id), sizeof(id));
                if (OSRef* ref = registry.Acquire(&name)) {
                    static_cast<Task*>(ref->fObject)->Signal(0x1);
                    registry.Release(ref);
                }
            }
        });
    }

    while (Clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    stop = true;
    for (auto& thread : threads)
        thread.join();

    // Every registered task still alive finishes: signal them until they are gone.
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (uint32_t id = 1; id < nextId.load(); ++id) {
                StrPtrLen name(reinterpret_cast<char*>(&id), sizeof(id));
                if (OSRef* ref = registry.Acquire(&name)) {
                    static_cast<Task*>(ref->fObject)->Signal(0x1);
                    registry.Release(ref);
                }
            }
            return liveTasks.load() == 0;
        },
        30s));
    ASSERT_TRUE(service.Stop());

    EXPECT_FALSE(corrupted);
    EXPECT_GT(verified.load(), 0u);
    EXPECT_GT(churned.load(), 0u);
    EXPECT_GT(disposed.load(), 0u);
    std::printf(
        "soak: %u connections churned, %llu bytes verified, %u contexts disposed, "
        "%u tasks created and deleted\n",
        churned.load(), (unsigned long long)verified.load(), disposed.load(), nextId.load() - 1);

    // Nothing leaked: descriptors and threads back to where they were (sockets in the
    // middle of closing are given a moment), memory within a modest margin.
    Platform::ProcessResources after{};
    WaitUntil([&] {
        after = Platform::CurrentProcessResources();
        return after.fHandles <= before.fHandles && after.fThreads <= before.fThreads;
    });
    EXPECT_LE(after.fHandles, before.fHandles);
    EXPECT_LE(after.fThreads, before.fThreads);
    if (kResidentMemoryMeaningful && before.fResidentBytes != 0) {
        EXPECT_LT(after.fResidentBytes, before.fResidentBytes + 64u * 1024 * 1024);
    }
}

}  // namespace
