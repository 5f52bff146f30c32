// The echo service over the IPv6 loopback, by TCP and datagrams, and on :: taking IPv4
// clients too, its listener only when asked.
#include <mutex>

#include "EchoListener.h"
#include "EchoService.h"
#include "NetAddress.h"
#include "SocketUtils.h"
#include "UDPSocket.h"
#include "support/Datagrams.h"
#include "support/RuntimeEnvironment.h"
#include "support/StreamPeer.h"

namespace {

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

using Client = std::pair<uint32_t, uint16_t>;  // address and port, as the listener is told

class NotingListener : public EchoListener {
public:
    using EchoListener::EchoListener;
    Client LastClient() {
        const std::lock_guard<std::mutex> held(fLock);
        return fLastClient;
    }

protected:
    Task* CreateConnectionTask(uint32_t address, uint16_t port, TCPSocket** outSocket) override {
        const std::lock_guard<std::mutex> held(fLock);
        fLastClient = {address, port};
        return EchoListener::CreateConnectionTask(address, port, outSocket);
    }

private:
    std::mutex fLock;
    Client fLastClient{1, 0};
};

// An echo service on the address with a listener that notes its clients, until the test ends.
struct Serving {
    Serving(const NetAddress& address, bool ipv4Too) {
        EchoServiceConfig config;
        config.fBindAddress = address;
        config.fServeTCP = false;  // the noting listener instead
        EXPECT_TRUE(fService.Start(config, &fError)) << fError;
        fListener = new NotingListener(&fService);
        if (ipv4Too) fListener->AcceptIPv4Too();
        fListenError = fListener->Listen(address);
        if (fListenError != 0) delete fListener;  // never ran
    }
    ~Serving() { EXPECT_TRUE(fService.Stop()); }
    uint16_t Port() const { return fListener->GetLocalPort(); }

    EchoService fService;
    std::string fError;
    NotingListener* fListener;
    int32_t fListenError;
};

TEST(IPv6Socket, TheEchoServiceOnTheLoopbackEchoesToAPeerARuntimeSocketAndDatagrams) {
    if (!HasIPv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
    Serving serving(NetAddress::IPv6Loopback(0), false);
    ASSERT_EQ(serving.fListenError, 0);
    const NetAddress target = NetAddress::IPv6Loopback(serving.Port());
    EXPECT_EQ(Text(serving.fListener->GetLocalNetAddress()),
              "[::1]:" + std::to_string(target.GetPort()));
    {
        StreamPeer peer;
        std::string echoed;
        ASSERT_TRUE(peer.Connect(target) && peer.Exchange("over IPv6", &echoed));
        EXPECT_EQ(echoed, "over IPv6");
        EXPECT_EQ(serving.fListener->LastClient(), Client(0, PortOf(peer.Handle())));
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

    UDPSocket datagrams(nullptr, Socket::kSocketNonBlocking);
    ASSERT_EQ(datagrams.Open(Socket::kDatagramType, NetAddress::Family::kIPv6), 0);
    const NetAddress service = NetAddress::IPv6Loopback(serving.fService.GetUDPPort());
    ASSERT_EQ(datagrams.SendDatagram(service, "datagram", 8), 0);
    NetAddress sender;
    ASSERT_TRUE(WaitUntil(
        [&] { return datagrams.ReceiveDatagram(&sender, buffer, sizeof(buffer), &length) == 0; }));
    EXPECT_EQ(std::string(buffer, length), "datagram");
    EXPECT_EQ(sender, service);
    datagrams.Dispose();
}

TEST(IPv6Socket, TheInterfaceTableListsTheLoopbackOnItsInterface) {
    if (!HasIPv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
    const InterfaceIPv6Record* loopback = nullptr;
    for (uint32_t i = 0; i < SocketUtils::GetIPv6AddressCount(); ++i)
        if (SocketUtils::GetIPv6Address(i)->fAddress == NetAddress::IPv6Loopback(0))
            loopback = SocketUtils::GetIPv6Address(i);
    ASSERT_NE(loopback, nullptr);
    EXPECT_EQ(Text(&loopback->fAddressText), "::1");
    EXPECT_NE(loopback->fInterfaceIndex, 0u);
    EXPECT_EQ(SocketUtils::GetIPv6Address(SocketUtils::GetIPv6AddressCount()), nullptr);
}

// A listener on :: takes an IPv4 client only when asked, and is told its IPv4 address then.
TEST(IPv6Socket, AnIPv4ClientReachesAListenerOnAnyOnlyWhenAskedAndReadsAsIPv4) {
    if (!HasIPv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
    for (const bool ipv4Too : {true, false}) {
        SCOPED_TRACE(ipv4Too ? "dual stack" : "IPv6 only");
        Serving serving(NetAddress::IPv6Any(0), ipv4Too);
        ASSERT_EQ(serving.fListenError, 0);
        StreamPeer peer;
        ASSERT_EQ(peer.Connect(serving.Port()), ipv4Too);
        if (!ipv4Too) continue;
        std::string echoed;
        ASSERT_TRUE(peer.Exchange("from IPv4", &echoed));
        EXPECT_EQ(serving.fListener->LastClient(), Client(kLoopbackAddress, PortOf(peer.Handle())));
        ArmedDatagramSocket datagrams;  // and the datagrams of IPv4 clients
        ASSERT_EQ(datagrams.SendTo(kLoopbackAddress, serving.fService.GetUDPPort(), "v4"), 0);
        ASSERT_TRUE(datagrams.WaitFor(1));
        EXPECT_EQ(datagrams.At(0).fData, "v4");
    }
}

}  // namespace
