// TCP and datagrams over the IPv6 loopback, and a listener on :: that takes IPv4 clients
// when asked.
#include <mutex>

#include "NetAddress.h"
#include "TCPListenerSocket.h"
#include "UDPSocket.h"
#include "support/RuntimeEnvironment.h"
#include "support/StreamPeer.h"

namespace {

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

bool HasIPv6Loopback() {
    const HeldSocket socket(
        Platform::OpenSocket(Platform::kSocketStream, Platform::kAddressFamilyInet6));
    Platform::SocketAddressStorage address;
    NetAddress::IPv6Loopback(0).ToSocketAddress(&address);
    return socket.Get() != Platform::kInvalidSocket &&
           Platform::BindSocket(socket.Get(), &address) == 0;
}

// What the listener saw of its one accepted connection.
struct Accepted {
    std::mutex fLock;
    uint32_t fRemoteIPv4 = 1;  // as CreateConnectionTask was told
    std::string fRemote, fLocal;
    std::atomic<int> fLive{0};
};

// Echoes until the peer closes; its first run notes the connection's addresses.
class EchoTask : public Task {
public:
    explicit EchoTask(Accepted* accepted) : fSocket(this, 0), fAccepted(accepted) {
        ++accepted->fLive;
    }
    ~EchoTask() override { --fAccepted->fLive; }
    int64_t Run() override {
        TakeEvents();
        if (!fNoted) {
            const std::lock_guard<std::mutex> held(fAccepted->fLock);
            fAccepted->fRemote = Text(fSocket.GetRemoteNetAddress());
            fAccepted->fLocal = Text(fSocket.GetLocalNetAddress());
            fNoted = true;
        }
        char buffer[1024];
        uint32_t length = 0;
        int32_t error;
        while ((error = fSocket.Read(buffer, sizeof(buffer), &length)) == 0)
            fSocket.Send(buffer, length, nullptr);  // a few bytes: loopback takes them
        if (error != EAGAIN || fSocket.ArmEvent(kWatchRead) != 0) return -1;
        return 0;
    }

    TCPSocket fSocket;

private:
    Accepted* fAccepted;
    bool fNoted = false;
};

class EchoListener : public TCPListenerSocket {
public:
    explicit EchoListener(Accepted* accepted) : fAccepted(accepted) {}

protected:
    Task* CreateConnectionTask(uint32_t remoteAddress, uint16_t, TCPSocket** outSocket) override {
        fAccepted->fRemoteIPv4 = remoteAddress;
        EchoTask* task = new EchoTask(fAccepted);
        *outSocket = &task->fSocket;
        return task;
    }

private:
    Accepted* fAccepted;
};

// Listening until the test ends, when its connections have ended too.
struct Listening {
    explicit Listening(const NetAddress& address, bool ipv4Too = false) {
        fListener = new EchoListener(&fAccepted);
        if (ipv4Too) fListener->AcceptIPv4Too();
        fError = fListener->Listen(address);
        if (fError != 0) delete fListener;
    }
    ~Listening() {
        if (fError == 0) fListener->StopListening();
        EXPECT_TRUE(WaitUntil([&] { return fAccepted.fLive.load() == 0; }));
    }
    uint16_t Port() const { return fListener->GetLocalPort(); }

    Accepted fAccepted;
    EchoListener* fListener;
    int32_t fError;
};

TEST(IPv6Socket, AListenerOnTheLoopbackEchoesToAPeerAndToARuntimeSocket) {
    if (!HasIPv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
    Listening listening(NetAddress::IPv6Loopback(0));
    ASSERT_EQ(listening.fError, 0);
    const NetAddress target = NetAddress::IPv6Loopback(listening.Port());
    EXPECT_EQ(listening.fListener->GetLocalNetAddress(), target);
    {
        StreamPeer peer;
        std::string echoed;
        ASSERT_TRUE(peer.Connect(target) && peer.Exchange("over IPv6", &echoed));
        EXPECT_EQ(echoed, "over IPv6");
        Platform::SocketAddressStorage peerAddress;
        ASSERT_EQ(Platform::GetSocketName(peer.Handle(), &peerAddress), 0);
        const std::lock_guard<std::mutex> held(listening.fAccepted.fLock);
        EXPECT_EQ(listening.fAccepted.fRemote, Text(NetAddress::FromSocketAddress(peerAddress)));
        EXPECT_EQ(listening.fAccepted.fLocal, Text(target));
        EXPECT_EQ(listening.fAccepted.fRemoteIPv4, 0u);
    }
    TaskProbe task;
    TCPSocket client(&task, 0);
    const int32_t started = client.Connect(target);
    ASSERT_TRUE(started == 0 || started == kErrInProgress) << started;
    ASSERT_TRUE(WaitUntil([&] { return client.CheckConnect() == 0; }));
    EXPECT_EQ(client.GetRemoteNetAddress(), target);
    EXPECT_TRUE(client.GetLocalNetAddress().IsIPv6());
    ASSERT_EQ(client.Send("abc", 3, nullptr), 0);
    char buffer[8];
    uint32_t length = 0;
    EXPECT_TRUE(WaitUntil([&] { return client.Read(buffer, sizeof(buffer), &length) == 0; }));
    EXPECT_EQ(std::string(buffer, length), "abc");
    client.Dispose();
}

// A listener on :: takes an IPv4 client only when asked, and tells its IPv4 address then.
TEST(IPv6Socket, AnIPv4ClientReachesAListenerOnAnyOnlyWhenAskedAndReadsAsIPv4) {
    if (!HasIPv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
    for (const bool ipv4Too : {true, false}) {
        SCOPED_TRACE(ipv4Too ? "dual stack" : "IPv6 only");
        Listening listening(NetAddress::IPv6Any(0), ipv4Too);
        ASSERT_EQ(listening.fError, 0);
        StreamPeer peer;
        ASSERT_EQ(peer.Connect(listening.Port()), ipv4Too);
        if (!ipv4Too) continue;
        std::string echoed;
        ASSERT_TRUE(peer.Exchange("from IPv4", &echoed));
        const std::lock_guard<std::mutex> held(listening.fAccepted.fLock);
        EXPECT_EQ(listening.fAccepted.fRemote,
                  "127.0.0.1:" + std::to_string(PortOf(peer.Handle())));
        EXPECT_EQ(listening.fAccepted.fLocal, "127.0.0.1:" + std::to_string(listening.Port()));
        EXPECT_EQ(listening.fAccepted.fRemoteIPv4, kLoopbackAddress);
    }
}

TEST(IPv6Socket, ADatagramToItselfOverTheLoopbackTellsItsSender) {
    if (!HasIPv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
    UDPSocket socket(nullptr, Socket::kSocketNonBlocking);
    ASSERT_EQ(socket.Open(Socket::kDatagramType, NetAddress::Family::kIPv6), 0);
    ASSERT_EQ(socket.Bind(NetAddress::IPv6Loopback(0)), 0);
    const NetAddress self = socket.GetLocalNetAddress();
    ASSERT_EQ(socket.SendDatagram(self, "to self", 7), 0);
    char buffer[16];
    uint32_t length = 0;
    NetAddress sender;
    ASSERT_TRUE(WaitUntil(
        [&] { return socket.ReceiveDatagram(&sender, buffer, sizeof(buffer), &length) == 0; }));
    EXPECT_EQ(std::string(buffer, length), "to self");
    EXPECT_EQ(sender, self);
}

}  // namespace
