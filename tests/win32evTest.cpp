// The readiness source: one-shot arming keyed by message number, one delivery per wait.

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "OSThread.h"
#include "platform/FaultInjection.h"

#include "support/Loopback.h"
#include "support/TestSupport.h"
#include "win32ev.h"

namespace {

// Owns the source for the process, keeping every delivery for the tests (each uses its own
// numbers).
class DeliveryPump {
public:
    static DeliveryPump& Instance() {
        static DeliveryPump* pump = new DeliveryPump;  // serves until the process ends
        return *pump;
    }

    // Takes the next delivery of the message (or of one up to `last`); false when none comes
    // in time.
    bool Next(uint32_t message, EventRequest* delivered = nullptr,
              std::chrono::milliseconds limit = 5s, uint32_t last = 0) {
        std::unique_lock<std::mutex> lock(fMutex);
        const auto it = [&] {
            return std::find_if(fDeliveries.begin(), fDeliveries.end(), [&](const EventRequest& r) {
                return r.fMessage >= message && r.fMessage <= std::max(message, last);
            });
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
    request.fWatchRecord = 1, request.fSocket = socket, request.fMessage = message;
    return request;
}

// A bound datagram socket with its request: made ready by sending it a datagram.
struct WatchedDatagrams {
    explicit WatchedDatagrams(uint32_t message)
        : fSocket(OpenBoundDatagramSocket(&fPort)), fRequest(RequestFor(fSocket, message)) {}
    ~WatchedDatagrams() { Close(true); }
    void Close(bool unwatch) {
        if (fSocket == Platform::kInvalidSocket) return;
        if (unwatch) UnwatchSocket(fSocket);
        Platform::CloseSocket(fSocket);
        fSocket = Platform::kInvalidSocket;
    }
    int32_t Watch(uint32_t bits) { return RewatchSocket(&fRequest, bits); }
    bool MakeReady() { return SendDatagramTo(fPort, "x", 1); }

    uint16_t fPort = 0;
    Platform::SocketHandle fSocket;
    EventRequest fRequest;
};

// Each arming brings one delivery, as read, whether armed for reading, writing or more bits.
TEST(EventSource, EachArmingBringsOneReadDelivery) {
    DeliveryPump& pump = DeliveryPump::Instance();
    uint32_t message = 1510;
    for (const uint32_t bits : {kWatchRead, kWatchWrite, kWatchRead | 0xFFF0u}) {
        SCOPED_TRACE(bits);
        WatchedDatagrams socket(++message);
        ASSERT_EQ(socket.Watch(bits), 0);
        ASSERT_TRUE(!(bits & kWatchRead) || (socket.MakeReady() && socket.MakeReady()));
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

// Readiness while switched off comes on the next arming, once. Left by a closed socket, it
// reaches nothing of the next one with its handle: a first arming is not a re-arming.
TEST(EventSource, ReadinessLeftSwitchedOffOrByAClosedSocketIsDeliveredOnceOrNotAtAll) {
    DeliveryPump& pump = DeliveryPump::Instance();
    const struct {
        bool fDeliveredFirst, fUnwatch;  // the datagram then left unread
        uint32_t fMessage, fNext;        // fNext: closed, and the next socket's number
    } cases[] = {{false, false, 1520, 0}, {false, true, 1521, 1522}, {true, false, 1570, 1570}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fMessage);
        auto socket = std::make_unique<WatchedDatagrams>(c.fMessage);
        ASSERT_EQ(socket->Watch(kWatchRead), 0);
        ASSERT_TRUE(c.fDeliveredFirst || socket->Watch(0) == 0);
        ASSERT_TRUE(socket->MakeReady());
        EXPECT_EQ(pump.Next(c.fMessage, nullptr, c.fDeliveredFirst ? 5s : 100ms),
                  c.fDeliveredFirst);
        if (c.fNext != 0) {
            socket->Close(c.fUnwatch);
            socket = std::make_unique<WatchedDatagrams>(c.fNext);
            ASSERT_EQ(socket->Watch(kWatchRead), 0);
            EXPECT_TRUE(pump.NoneWithin(c.fNext, 100ms));
            ASSERT_TRUE(socket->MakeReady());
        } else {
            ASSERT_EQ(socket->Watch(kWatchRead), 0);
        }
        EXPECT_TRUE(pump.Next(socket->fRequest.fMessage));
        EXPECT_TRUE(pump.NoneWithin(socket->fRequest.fMessage, 100ms));
    }
    EXPECT_TRUE(pump.NoneWithin(1521, 1ms));
}

// Armed before it connects, a stream reports a hang-up; connected, it must then be quiet.
TEST(EventSource, AStreamArmedBeforeItConnectsIsQuietOnceConnected) {
    DeliveryPump& pump = DeliveryPump::Instance();
    const HeldSocket listener = TakenListener();
    const HeldSocket client(Platform::OpenSocket(Platform::kSocketStream));
    EventRequest request = RequestFor(client.Get(), 1560);
    ASSERT_EQ(Platform::SetSocketNonBlocking(client.Get()), 0);
    ASSERT_EQ(WatchSocket(&request, kWatchRead), 0);
    pump.Next(1560, nullptr, 100ms);  // the hang-up of a socket not connected, where reported
    const Platform::SocketAddress target = LoopbackAddress(listener.Port());
    Platform::ConnectSocket(client.Get(), &target);
    Platform::SocketAddress peer{};
    ASSERT_TRUE(WaitUntil([&] { return Platform::GetPeerName(client.Get(), &peer) == 0; }));
    const HeldSocket server(Platform::AcceptSocket(listener.Get(), nullptr));
    int deliveries = 0;
    for (int arming = 0; arming < 5; ++arming) {
        ASSERT_EQ(RewatchSocket(&request, kWatchRead), 0);
        if (pump.Next(1560, nullptr, 50ms)) ++deliveries;
    }
    EXPECT_LE(deliveries, 1);
    ASSERT_EQ(Platform::SendSocket(server.Get(), "x", 1), 1);
    ASSERT_EQ(RewatchSocket(&request, kWatchRead), 0);
    EXPECT_TRUE(pump.Next(1560));  // and what it is sent is still told
    UnwatchSocket(client.Get());
}

// Data arriving while a read finds the socket empty (its edge taken before the read tells the
// source) is still delivered on the next arming.
TEST(EventSource, DataArrivingWhileAReadFindsTheSocketEmptyIsDeliveredOnTheNextArming) {
    if (!Platform::kFaultInjectionBuilt) GTEST_SKIP() << "built without fault points";
    DeliveryPump& pump = DeliveryPump::Instance();
    Platform::SocketHandle client, server;
    ASSERT_TRUE(MakeStreamPair(&client, &server));
    const HeldSocket heldClient(client), heldServer(server);
    ASSERT_EQ(Platform::SetSocketNonBlocking(server), 0);
    EventRequest request = RequestFor(server, 1580);
    ASSERT_EQ(WatchSocket(&request, kWatchRead), 0);
    ASSERT_EQ(Platform::SendSocket(client, "a", 1), 1);
    ASSERT_TRUE(pump.Next(1580));
    char buffer[8];
    ASSERT_EQ(Platform::ReceiveSocket(server, buffer, 1), 1);  // all of it, not known empty
    bool arrived = false;
    Platform::SetStepAction(Platform::Step::kReceiveReturned, [&] {
        if (arrived) return;
        arrived = Platform::SendSocket(client, "b", 1) == 1;
        OSThread::Sleep(100);  // for the event loop to take the edge, unarmed
    });
    const int32_t empty = Platform::ReceiveSocket(server, buffer, sizeof(buffer));
    Platform::SetStepAction(Platform::Step::kReceiveReturned, nullptr);
    ASSERT_TRUE(arrived);
    if (empty == 1) GTEST_SKIP() << "the data came before the read";  // no such platform here
    ASSERT_EQ(empty, -1);
    ASSERT_EQ(RewatchSocket(&request, kWatchRead), 0);
    EXPECT_TRUE(pump.Next(1580, nullptr, 2s));
    EXPECT_EQ(Platform::ReceiveSocket(server, buffer, sizeof(buffer)), 1);
    UnwatchSocket(server);
}

// A reset connection and a never-connected stream report lasting failures: switched off, nothing.
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

// The one-shot contract under load: two owner threads read each delivery dry and arm again
// while data arrives; now and then a socket is switched off, armed for writing, or (datagrams)
// closed without unwatching and made again. No delivery finds its socket unarmed; all is read.
TEST(EventSource, TheOneShotContractHoldsUnderRacingArmingsArrivalsAndReuse) {
    constexpr int kStreams = 6, kSockets = 12, kOwners = 2;
    constexpr uint32_t kFirstMessage = 3000, kLastMessage = kFirstMessage + kSockets - 1;
    constexpr int64_t kWindow = 8 * 16;  // bytes in flight per socket: no buffer overflows
    struct Channel {
        std::mutex fLock;  // the sender's, and the owner's while it makes the socket again
        EventRequest fRequest;
        std::atomic<Platform::SocketHandle> fCurrent{Platform::kInvalidSocket};
        Platform::SocketHandle fPeer = Platform::kInvalidSocket;  // a stream's sending end
        uint16_t fPort = 0;
        std::atomic<bool> fArmed{false};
        std::atomic<int64_t> fSent{0}, fReceived{0};
        int fTurns = 0;
    };
    std::vector<Channel> channels(kSockets);
    const HeldSocket sender(Platform::OpenSocket(Platform::kSocketDatagram));
    for (int i = 0; i < kSockets; ++i) {
        Channel& c = channels[size_t(i)];
        Platform::SocketHandle socket;
        if (i < kStreams) {
            ASSERT_TRUE(MakeStreamPair(&c.fPeer, &socket));
        } else {
            socket = OpenBoundDatagramSocket(&c.fPort);
        }
        ASSERT_EQ(Platform::SetSocketNonBlocking(socket), 0);
        c.fRequest = RequestFor(socket, kFirstMessage + uint32_t(i));
        c.fCurrent = socket;
    }

    std::atomic<int> unarmed{0};
    std::atomic<bool> stop{false};
    const auto drain = [](Channel& c, bool stream) {
        char buffer[256];
        Platform::SocketAddress from;
        for (;;) {
            const int32_t got =
                stream ? Platform::ReceiveSocket(c.fRequest.fSocket, buffer, sizeof(buffer))
                       : Platform::ReceiveSocketFrom(c.fRequest.fSocket, buffer, sizeof(buffer),
                                                     &from);
            if (got <= 0) return;
            c.fReceived += got;
        }
    };
    const auto arm = [](Channel& c, uint32_t bits, bool first) {
        c.fArmed = true;
        EXPECT_EQ(first ? WatchSocket(&c.fRequest, bits) : RewatchSocket(&c.fRequest, bits), 0);
    };
    const auto serve = [&](const EventRequest& delivered) {
        const int i = int(delivered.fMessage - kFirstMessage);
        Channel& c = channels[size_t(i)];
        if (delivered.fSocket != c.fCurrent) return;  // for a socket closed since
        if (!c.fArmed.exchange(false)) ++unarmed;
        const bool stream = i < kStreams;
        drain(c, stream);
        const int turn = ++c.fTurns;
        if (turn % 7 == 0) {  // switched off while data comes
            ASSERT_EQ(RewatchSocket(&c.fRequest, 0), 0);
            std::this_thread::sleep_for(2ms);
        }
        const bool remake = !stream && turn % 5 == 0;
        if (remake) {
            std::lock_guard<std::mutex> lock(c.fLock);
            drain(c, stream);
            Platform::CloseSocket(c.fRequest.fSocket);
            c.fCurrent = c.fRequest.fSocket = OpenBoundDatagramSocket(&c.fPort);
            EXPECT_EQ(Platform::SetSocketNonBlocking(c.fRequest.fSocket), 0);
        }
        arm(c, stream && turn % 4 == 0 ? kWatchWrite : kWatchRead, remake);
    };
    std::vector<std::unique_ptr<BoundedThread>> owners;
    for (int o = 0; o < kOwners; ++o) {
        owners.push_back(std::make_unique<BoundedThread>([&] {
            EventRequest delivered;  // served on until none is left once stopped
            for (bool got = false; !stop || got;)
                if ((got = DeliveryPump::Instance().Next(kFirstMessage, &delivered, 10ms,
                                                         kLastMessage)))
                    serve(delivered);
        }));
    }
    for (Channel& c : channels)
        arm(c, kWatchRead, true);

    const char piece[16] = "0123456789abcde";
    const auto until = std::chrono::steady_clock::now() + 1500ms;
    while (std::chrono::steady_clock::now() < until) {
        for (int i = 0; i < kSockets; ++i) {
            Channel& c = channels[size_t(i)];
            std::lock_guard<std::mutex> lock(c.fLock);
            if (c.fSent - c.fReceived >= kWindow) continue;
            const Platform::SocketAddress target = LoopbackAddress(c.fPort);
            const int32_t sent = i < kStreams
                                     ? Platform::SendSocket(c.fPeer, piece, 16)
                                     : Platform::SendSocketTo(sender.Get(), piece, 16, &target);
            if (sent > 0) c.fSent += sent;
        }
        std::this_thread::sleep_for(50us);
    }
    for (Channel& c : channels)
        EXPECT_TRUE(WaitUntil([&] { return c.fReceived == c.fSent; }, 5s))
            << c.fRequest.fMessage << ": " << c.fReceived << " of " << c.fSent << " read";
    stop = true;
    for (auto& owner : owners)
        owner->Join();
    EXPECT_EQ(unarmed.load(), 0) << "deliveries to sockets not armed";
    for (Channel& c : channels) {
        EXPECT_GT(c.fTurns, 10) << c.fRequest.fMessage;
        UnwatchSocket(c.fRequest.fSocket);
        Platform::CloseSocket(c.fRequest.fSocket);
        if (c.fPeer != Platform::kInvalidSocket) Platform::CloseSocket(c.fPeer);
    }
}

}  // namespace
