// The readiness source: one-shot arming keyed by message number, one delivery per wait.
#include <gtest/gtest.h>

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
    static bool Started() { return sStarted.load(); }

    // Takes the next delivery of the message; false when none comes in time.
    bool Next(uint32_t message, EventRequest* delivered = nullptr,
              std::chrono::milliseconds limit = 5s) {
        std::unique_lock<std::mutex> lock(fMutex);
        for (;;) {
            for (auto it = fDeliveries.begin(); it != fDeliveries.end(); ++it) {
                if (it->fMessage != message) continue;
                if (delivered != nullptr) *delivered = *it;
                fDeliveries.erase(it);
                return true;
            }
            if (fArrived.wait_for(lock, limit) == std::cv_status::timeout) return false;
        }
    }
    // True when no delivery of the message comes within the window.
    bool NoneWithin(uint32_t message, std::chrono::milliseconds window) {
        return !Next(message, nullptr, window);
    }

private:
    DeliveryPump() {
        sStarted = true;
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

    static inline std::atomic<bool> sStarted{false};
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

// Declared first, so that it runs before anything creates the source (on a repeat it
// finds the source made).
TEST(EventSource, WatchBeforeTheSourceExistsWaitsForIt) {
    WatchedDatagrams socket(1500);
    std::atomic<bool> watched{false};
    BoundedThread watcher([&] {
        EXPECT_EQ(WatchSocket(&socket.fRequest, kWatchRead), 0);
        watched = true;
    });
    if (!DeliveryPump::Started()) {
        EXPECT_TRUE(StaysFalseFor([&] { return watched.load(); }, 60ms));  // polling for it
    }
    DeliveryPump::Instance();
    EXPECT_TRUE(WaitUntil([&] { return watched.load(); }));
    watcher.Join();
    ASSERT_TRUE(socket.MakeReady());
    EventRequest delivered;
    ASSERT_TRUE(DeliveryPump::Instance().Next(1500, &delivered));
    EXPECT_EQ(delivered.fSocket, socket.fSocket);
    EXPECT_EQ(delivered.fEventBits, kWatchRead);
}

// What each arming asks for: readable data, writability (delivered as read, like every
// notification), nothing (bits 0 switch the socket off), or read with bits beyond 2.
TEST(EventSource, ArmingBitsDecideWhatIsDeliveredOncePerArming) {
    DeliveryPump& pump = DeliveryPump::Instance();
    const struct {
        uint32_t fBits;
        bool fSendData;
        bool fDelivered;
    } rows[] = {{kWatchRead, true, true},
                {kWatchWrite, false, true},
                {0, true, false},
                {kWatchRead | 0xFFF0u, true, true}};
    uint32_t message = 1510;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fBits);
        WatchedDatagrams socket(++message);
        ASSERT_EQ(socket.Watch(row.fBits), 0);
        if (row.fSendData) {
            ASSERT_TRUE(socket.MakeReady());
            ASSERT_TRUE(socket.MakeReady());
        }
        if (!row.fDelivered) {
            EXPECT_TRUE(pump.NoneWithin(message, 150ms));
            continue;
        }
        EventRequest delivered;
        ASSERT_TRUE(pump.Next(message, &delivered));
        EXPECT_EQ(delivered.fSocket, socket.fSocket);
        EXPECT_EQ(delivered.fEventBits, kWatchRead);
        // Still ready, but switched off until armed again.
        EXPECT_TRUE(pump.NoneWithin(message, 100ms));
        ASSERT_EQ(socket.Watch(row.fBits), 0);
        EXPECT_TRUE(pump.Next(message));
    }
}

TEST(EventSource, ReadyWhileSwitchedOffIsDeliveredOnTheNextArmingExactlyOnce) {
    DeliveryPump& pump = DeliveryPump::Instance();
    WatchedDatagrams socket(1520);
    ASSERT_EQ(socket.Watch(kWatchRead), 0);
    ASSERT_EQ(socket.Watch(0), 0);
    ASSERT_TRUE(socket.MakeReady());
    EXPECT_TRUE(pump.NoneWithin(1520, 100ms));
    ASSERT_EQ(socket.Watch(kWatchRead), 0);
    EXPECT_TRUE(pump.Next(1520));
    EXPECT_TRUE(pump.NoneWithin(1520, 100ms));
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

// A socket closed while switched off, with readiness pending: the socket that gets its
// handle value next is armed afresh and hears nothing of the old one.
TEST(EventSource, ASocketClosedWhileSwitchedOffLeavesNothingForTheNext) {
    DeliveryPump& pump = DeliveryPump::Instance();
    auto closed = std::make_unique<WatchedDatagrams>(1540);
    ASSERT_EQ(closed->Watch(kWatchRead), 0);
    ASSERT_EQ(closed->Watch(0), 0);
    ASSERT_TRUE(closed->MakeReady());
    closed.reset();
    WatchedDatagrams next(1541);
    ASSERT_EQ(next.Watch(kWatchRead), 0);
    EXPECT_TRUE(pump.NoneWithin(1541, 100ms));
    ASSERT_TRUE(next.MakeReady());
    EXPECT_TRUE(pump.Next(1541));
    EXPECT_TRUE(pump.NoneWithin(1540, 10ms));
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

TEST(EventSource, TenSocketsAreEachDeliveredOnceWithTheirOwnNumber) {
    DeliveryPump& pump = DeliveryPump::Instance();
    std::vector<std::unique_ptr<WatchedDatagrams>> sockets;
    for (uint32_t i = 0; i < 10; ++i) {
        sockets.push_back(std::make_unique<WatchedDatagrams>(1600 + i));
        ASSERT_EQ(sockets.back()->Watch(kWatchRead), 0);
        ASSERT_TRUE(sockets.back()->MakeReady());
    }
    for (uint32_t i = 0; i < 10; ++i) {
        EventRequest delivered;
        ASSERT_TRUE(pump.Next(1600 + i, &delivered));
        EXPECT_EQ(delivered.fSocket, sockets[i]->fSocket);
        EXPECT_TRUE(pump.NoneWithin(1600 + i, i == 0 ? 50ms : 1ms));
    }
}

TEST(EventSource, WindowProcedureAnswers) {
    EXPECT_EQ(HiddenWindowProc(nullptr, 0x81, 0, 0), 1);
    EXPECT_EQ(HiddenWindowProc(nullptr, 0x01, 0, 0), 0);
}

}  // namespace
