// The readiness source: one-shot arming keyed by message number, one delivery per wait.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "support/Loopback.h"
#include "support/TestSupport.h"
#include "win32ev.h"

namespace {

using namespace std::chrono_literals;

// The one thread that owns the source for the whole process: it takes every delivery and
// queues it for the tests.
class DeliveryPump {
public:
    static DeliveryPump& Instance() {
        static DeliveryPump pump;
        return pump;
    }

    // The next delivery, or a request with fMessage 0 when none comes in time.
    EventRequest Next(std::chrono::milliseconds limit = 5s) {
        std::unique_lock<std::mutex> lock(fMutex);
        if (!fArrived.wait_for(lock, limit, [&] { return !fDeliveries.empty(); })) return {};
        const EventRequest request = fDeliveries.front();
        fDeliveries.pop_front();
        return request;
    }

    // Deliveries that arrive within the given time (none expected).
    size_t CountFor(std::chrono::milliseconds period) {
        std::this_thread::sleep_for(period);
        std::lock_guard<std::mutex> lock(fMutex);
        const size_t count = fDeliveries.size();
        fDeliveries.clear();
        return count;
    }

private:
    DeliveryPump() : fThread([this] { Run(); }) { fThread.detach(); }

    void Run() {
        EventRequest request;
        for (;;) {
            if (WaitForEvent(&request) != 0) continue;
            std::lock_guard<std::mutex> lock(fMutex);
            fDeliveries.push_back(request);
            fArrived.notify_all();
        }
    }

    std::mutex fMutex;
    std::condition_variable fArrived;
    std::deque<EventRequest> fDeliveries;
    std::thread fThread;
};

EventRequest RequestFor(Platform::SocketHandle socket, uint32_t message) {
    EventRequest request;
    request.fWatchRecord = 1;
    request.fSocket = socket;
    request.fMessage = message;
    return request;
}

// Declared first so it runs before anything creates the source.
TEST(EventSource, WatchBeforeTheSourceExistsWaitsForIt) {
    uint16_t port = 0;
    const Platform::SocketHandle socket = OpenBoundDatagramSocket(&port);
    ASSERT_NE(socket, Platform::kInvalidSocket);
    EventRequest request = RequestFor(socket, 1500);
    std::atomic<bool> watched{false};
    std::thread watcher([&] {
        EXPECT_EQ(WatchSocket(&request, kWatchRead), 0);
        watched = true;
    });
    std::this_thread::sleep_for(60ms);
    EXPECT_FALSE(watched);  // still polling for the source
    DeliveryPump::Instance();
    EXPECT_TRUE(WaitUntil([&] { return watched.load(); }));
    watcher.join();
    ASSERT_TRUE(SendDatagramTo(port, "x", 1));
    const EventRequest delivered = DeliveryPump::Instance().Next();
    EXPECT_EQ(delivered.fMessage, 1500u);
    EXPECT_EQ(delivered.fSocket, socket);
    Platform::CloseSocket(socket);
}

TEST(EventSource, OneDeliveryPerArming) {
    DeliveryPump& pump = DeliveryPump::Instance();
    uint16_t port = 0;
    const Platform::SocketHandle socket = OpenBoundDatagramSocket(&port);
    EventRequest request = RequestFor(socket, 1501);
    ASSERT_EQ(WatchSocket(&request, kWatchRead), 0);
    ASSERT_TRUE(SendDatagramTo(port, "a", 1));
    ASSERT_TRUE(SendDatagramTo(port, "b", 1));
    const EventRequest first = pump.Next();
    EXPECT_EQ(first.fMessage, 1501u);
    EXPECT_EQ(first.fSocket, socket);
    EXPECT_EQ(first.fEventBits, kWatchRead);
    // Still readable, but switched off until watched again.
    EXPECT_EQ(pump.CountFor(150ms), 0u);
    ASSERT_EQ(RewatchSocket(&request, kWatchRead), 0);
    EXPECT_EQ(pump.Next().fMessage, 1501u);
    EXPECT_EQ(UnwatchSocket(socket), 0);
    Platform::CloseSocket(socket);
}

TEST(EventSource, NoBitsSwitchTheSocketOff) {
    DeliveryPump& pump = DeliveryPump::Instance();
    uint16_t port = 0;
    const Platform::SocketHandle socket = OpenBoundDatagramSocket(&port);
    EventRequest request = RequestFor(socket, 1502);
    ASSERT_EQ(WatchSocket(&request, kWatchRead), 0);
    ASSERT_EQ(RewatchSocket(&request, 0), 0);
    ASSERT_TRUE(SendDatagramTo(port, "a", 1));
    EXPECT_EQ(pump.CountFor(150ms), 0u);
    // Bits beyond read and write make no difference.
    ASSERT_EQ(RewatchSocket(&request, kWatchRead | 0xFFF0u), 0);
    EXPECT_EQ(pump.Next().fMessage, 1502u);
    Platform::CloseSocket(socket);
}

TEST(EventSource, WritableIsDeliveredAsRead) {
    uint16_t port = 0;
    const Platform::SocketHandle socket = OpenBoundDatagramSocket(&port);
    EventRequest request = RequestFor(socket, 1503);
    ASSERT_EQ(WatchSocket(&request, kWatchWrite), 0);
    const EventRequest delivered = DeliveryPump::Instance().Next();
    EXPECT_EQ(delivered.fMessage, 1503u);
    EXPECT_EQ(delivered.fEventBits, kWatchRead);
    Platform::CloseSocket(socket);
}

TEST(EventSource, TenSocketsAreEachDeliveredOnce) {
    DeliveryPump& pump = DeliveryPump::Instance();
    constexpr uint32_t kSockets = 10;
    std::vector<Platform::SocketHandle> sockets(kSockets);
    std::vector<EventRequest> requests(kSockets);
    for (uint32_t i = 0; i < kSockets; ++i) {
        uint16_t port = 0;
        sockets[i] = OpenBoundDatagramSocket(&port);
        requests[i] = RequestFor(sockets[i], 1600 + i);
        ASSERT_EQ(WatchSocket(&requests[i], kWatchRead), 0);
        ASSERT_TRUE(SendDatagramTo(port, "z", 1));
    }
    std::vector<int> seen(kSockets, 0);
    for (uint32_t i = 0; i < kSockets; ++i) {
        const EventRequest delivered = pump.Next();
        ASSERT_GE(delivered.fMessage, 1600u);
        ASSERT_LT(delivered.fMessage, 1600u + kSockets);
        EXPECT_EQ(delivered.fSocket, sockets[delivered.fMessage - 1600]);
        ++seen[delivered.fMessage - 1600];
    }
    EXPECT_EQ(pump.CountFor(100ms), 0u);
    for (uint32_t i = 0; i < kSockets; ++i) {
        EXPECT_EQ(seen[i], 1) << "socket " << i;
        Platform::CloseSocket(sockets[i]);
    }
}

TEST(EventSource, WindowProcedureAnswers) {
    EXPECT_EQ(HiddenWindowProc(nullptr, 0x81, 0, 0), 1);
    EXPECT_EQ(HiddenWindowProc(nullptr, 0x01, 0, 0), 0);
}

}  // namespace
