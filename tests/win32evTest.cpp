// The readiness source: one-shot arming keyed by message number, one delivery per wait.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "support/Loopback.h"
#include "support/TestSupport.h"
#include "win32ev.h"

namespace {

using namespace std::chrono_literals;

// The one thread that owns the source for the whole process: it takes every delivery and
// keeps it for the tests, which each use message numbers of their own.
class DeliveryPump {
public:
    static DeliveryPump& Instance() {
        static DeliveryPump* pump = new DeliveryPump;  // serves until the process ends
        return *pump;
    }

    // Takes the next delivery of the message; false when none comes in time.
    bool Next(uint32_t message, EventRequest* delivered = nullptr,
              std::chrono::milliseconds limit = 5s) {
        std::unique_lock<std::mutex> lock(fMutex);
        const auto it = [&] {
            return std::find_if(fDeliveries.begin(), fDeliveries.end(),
                                [&](const EventRequest& r) { return r.fMessage == message; });
        };
        if (!fArrived.wait_for(lock, limit, [&] { return it() != fDeliveries.end(); }))
            return false;
        if (delivered != nullptr) *delivered = *it();
        fDeliveries.erase(it());
        return true;
    }
    bool NoneWithin(uint32_t message, std::chrono::milliseconds window) {
        return !Next(message, nullptr, window);
    }

private:
    DeliveryPump() {
        std::thread([this] {
            EventRequest request;
            for (;;) {
                if (WaitForEvent(&request) != 0) continue;
                std::lock_guard<std::mutex> lock(fMutex);
                fDeliveries.push_back(request);
                fArrived.notify_all();
            }
        }).detach();
    }

    std::mutex fMutex;
    std::condition_variable fArrived;
    std::deque<EventRequest> fDeliveries;
};

EventRequest RequestFor(Platform::SocketHandle socket, uint32_t message) {
    EventRequest request;
    request.fWatchRecord = 1;
    request.fSocket = socket;
    request.fMessage = message;
    return request;
}

// A bound datagram socket with its request: made ready by sending it a datagram.
struct WatchedDatagrams {
    explicit WatchedDatagrams(uint32_t message)
        : fSocket(OpenBoundDatagramSocket(&fPort)), fRequest(RequestFor(fSocket, message)) {}
    ~WatchedDatagrams() {
        UnwatchSocket(fSocket);
        Platform::CloseSocket(fSocket);
    }
    int32_t Watch(uint32_t bits) { return RewatchSocket(&fRequest, bits); }
    bool MakeReady() { return SendDatagramTo(fPort, "x", 1); }

    uint16_t fPort = 0;
    Platform::SocketHandle fSocket;
    EventRequest fRequest;
};

// Each arming brings one delivery, as read whatever it asked for: readable data,
// writability, or read with bits beyond the two.
TEST(EventSource, EachArmingBringsOneReadDelivery) {
    DeliveryPump& pump = DeliveryPump::Instance();
    uint32_t message = 1510;
    for (const uint32_t bits : {kWatchRead, kWatchWrite, kWatchRead | 0xFFF0u}) {
        SCOPED_TRACE(bits);
        WatchedDatagrams socket(++message);
        ASSERT_EQ(socket.Watch(bits), 0);
        if (bits & kWatchRead) {
            ASSERT_TRUE(socket.MakeReady() && socket.MakeReady());
        }
        EventRequest delivered;
        ASSERT_TRUE(pump.Next(message, &delivered));
        EXPECT_EQ(delivered.fSocket, socket.fSocket);
        EXPECT_EQ(delivered.fEventBits, kWatchRead);
        // Still ready, but switched off until armed again.
        EXPECT_TRUE(pump.NoneWithin(message, 100ms));
        ASSERT_EQ(socket.Watch(bits), 0);
        EXPECT_TRUE(pump.Next(message));
    }
}

// Readiness while switched off is delivered on the next arming, once; closed meanwhile,
// it leaves nothing for the socket that gets the handle value next.
TEST(EventSource, ReadyWhileSwitchedOffIsDeliveredOnTheNextArmingOnceAndNotAfterClosing) {
    DeliveryPump& pump = DeliveryPump::Instance();
    for (const bool close : {false, true}) {
        auto socket = std::make_unique<WatchedDatagrams>(close ? 1521 : 1520);
        ASSERT_EQ(socket->Watch(kWatchRead), 0);
        ASSERT_EQ(socket->Watch(0), 0);
        ASSERT_TRUE(socket->MakeReady());
        EXPECT_TRUE(pump.NoneWithin(socket->fRequest.fMessage, 100ms));
        if (close) {
            socket.reset();
            socket = std::make_unique<WatchedDatagrams>(1522);
            ASSERT_EQ(socket->Watch(kWatchRead), 0);
            EXPECT_TRUE(pump.NoneWithin(1522, 100ms));
            ASSERT_TRUE(socket->MakeReady());
        } else {
            ASSERT_EQ(socket->Watch(kWatchRead), 0);
        }
        EXPECT_TRUE(pump.Next(socket->fRequest.fMessage));
        EXPECT_TRUE(pump.NoneWithin(socket->fRequest.fMessage, 100ms));
    }
    EXPECT_TRUE(pump.NoneWithin(1521, 1ms));
}

// A connection reset by its peer, and a stream socket never connected, report a failure
// or hang-up that lasts: switched off, they must still report nothing.
TEST(EventSource, SwitchedOffSocketsStaySilentWhenResetOrNeverConnected) {
    DeliveryPump& pump = DeliveryPump::Instance();
    Platform::SocketHandle client, server;
    ASSERT_TRUE(MakeStreamPair(&client, &server));
    const Platform::SocketHandle unconnected = Platform::OpenSocket(Platform::kSocketStream);
    EventRequest reset = RequestFor(server, 1530), fresh = RequestFor(unconnected, 1531);
    ASSERT_EQ(WatchSocket(&reset, kWatchRead), 0);
    ASSERT_EQ(WatchSocket(&fresh, kWatchRead), 0);
    pump.NoneWithin(1531, 50ms);  // a socket never connected may report that at once
    ASSERT_EQ(RewatchSocket(&reset, 0), 0);
    ASSERT_EQ(RewatchSocket(&fresh, 0), 0);
    ASSERT_EQ(Platform::CloseSocketWithReset(client), 0);
    EXPECT_TRUE(pump.NoneWithin(1530, 150ms));
    EXPECT_TRUE(pump.NoneWithin(1531, 10ms));
    for (const Platform::SocketHandle socket : {server, unconnected}) {
        UnwatchSocket(socket);
        Platform::CloseSocket(socket);
    }
}

// A socket read dry again and again while datagrams keep coming, as a busy service's is:
// every arming brings one delivery, never two, and none is lost.
TEST(EventSource, ArmingsUnderAStreamOfDatagramsGetOneDeliveryEach) {
    DeliveryPump& pump = DeliveryPump::Instance();
    WatchedDatagrams socket(1550);
    ASSERT_EQ(Platform::SetSocketNonBlocking(socket.fSocket), 0);
    std::atomic<bool> stop{false};
    BoundedThread sender([&] {
        while (!stop)
            socket.MakeReady();
    });
    for (int arming = 0; arming < 300; ++arming) {
        ASSERT_EQ(socket.Watch(kWatchRead), 0);
        ASSERT_TRUE(pump.Next(1550)) << arming;
        char buffer[8];
        Platform::SocketAddress from;
        while (Platform::ReceiveSocketFrom(socket.fSocket, buffer, sizeof(buffer), &from) > 0) {
        }
    }
    stop = true;
    sender.Join();
    EXPECT_TRUE(pump.NoneWithin(1550, 50ms));
}

}  // namespace
