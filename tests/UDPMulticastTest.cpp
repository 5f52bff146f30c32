// Multicast membership and delivery. A join sends membership reports on the chosen
// interface, so these tests run only inside the private network namespace that
// scripts/netns-multicast.sh sets up and announces with CU_MULTICAST_NAMESPACE=1; anywhere
// else they skip.

#include <cstdlib>
#include <cstring>

#include "SocketUtils.h"
#include "support/Datagrams.h"
#include "support/RuntimeEnvironment.h"

namespace {

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

constexpr uint32_t kGroup = 0xEFFF4D01;  // 239.255.77.1, organisation-local scope

class Multicast : public testing::Test {
protected:
    void SetUp() override {
        const char* announced = std::getenv("CU_MULTICAST_NAMESPACE");
        if (announced == nullptr || std::strcmp(announced, "1") != 0) {
            GTEST_SKIP() << "multicast tests join groups, so they run only inside the private "
                            "network namespace of scripts/netns-multicast.sh";
        }
        // Claimed but not so: fail rather than join anywhere real. A datagram socket that
        // can be pointed at an outside address (which sends nothing) has a route off it.
        for (uint32_t i = 0; i < SocketUtils::GetInterfaceCount(); ++i) {
            ASSERT_EQ(SocketUtils::GetInterfaceAddress(i) >> 24, 127u)
                << "an interface has the address " << Text(SocketUtils::GetInterfaceAddressText(i));
        }
        for (uint32_t i = 0; i < SocketUtils::GetIPv6AddressCount(); ++i) {
            const InterfaceIPv6Record* record = SocketUtils::GetIPv6Address(i);
            ASSERT_TRUE(record->fAddress == NetAddress::IPv6Loopback(0) ||
                        record->fAddress.GetScopeId() != 0)
                << "an interface has " << Text(&record->fAddressText);
        }
        const HeldSocket probe(Platform::OpenSocket(Platform::kSocketDatagram));
        Platform::SocketAddress outside = LoopbackAddress(9);
        outside.fAddress = Platform::HostToNetwork32(kDocumentationAddress);
        ASSERT_NE(Platform::ConnectSocket(probe.Get(), &outside), 0) << "a route leads off";
    }
    void TearDown() override { EXPECT_TRUE(fReported.Take().empty()); }

    ReportedAsserts fReported;
};

// The namespace gives loopback 40 more addresses, 127.0.1.1 to 127.0.1.40: the whole list
// is read, and the sender, bound to the last of them, finds its text and joins on it.
TEST_F(Multicast, AMemberGetsWhatIsSentToTheGroupUntilItLeavesAndAgainOnceItRejoins) {
    constexpr uint32_t kLastAddress = 0x7F000128;  // 127.0.1.40
    EXPECT_GE(SocketUtils::GetInterfaceCount(), 41u);
    ArmedDatagramSocket member(0), sender(kLastAddress);  // any address: the platform chooses
    ASSERT_TRUE(member.IsOpen() && sender.IsOpen());
    EXPECT_EQ(Text(sender.fSocket.LocalAddressString()), "127.0.1.40");
    EXPECT_EQ(sender.fSocket.JoinGroup(kGroup), 0);
    EXPECT_EQ(sender.fSocket.LeaveGroup(kGroup), 0);
    ASSERT_EQ(sender.fSocket.SetMulticastTtl(300), 0);  // taken as one byte, 44
    ASSERT_EQ(member.fSocket.JoinGroup(kGroup), 0);

    ASSERT_EQ(sender.SendTo(kGroup, member.Port(), "one"), 0);
    ASSERT_TRUE(member.WaitFor(1));
    EXPECT_EQ(member.At(0).fData, "one");
    EXPECT_EQ(member.At(0).fPort, sender.Port());

    ASSERT_EQ(member.fSocket.LeaveGroup(kGroup), 0);
    ASSERT_EQ(sender.SendTo(kGroup, member.Port(), "two"), 0);
    EXPECT_TRUE(StaysFalseFor([&] { return member.Count() > 1; }, 200ms))
        << "delivered after leaving: " << member.At(1).fData;

    ASSERT_EQ(member.fSocket.JoinGroup(kGroup), 0);
    ASSERT_EQ(sender.SendTo(kGroup, member.Port(), "three"), 0);
    ASSERT_TRUE(member.WaitFor(2));
    EXPECT_EQ(member.At(1).fData, "three");
}

// The interface datagrams to a group leave by is chosen by its address.
TEST_F(Multicast, DatagramsToTheGroupLeaveByTheInterfaceChosenByItsAddress) {
    if (UnderQemuUserEmulation()) {
        GTEST_SKIP() << "qemu's user-mode emulation does not pass IP_MULTICAST_IF to the "
                        "kernel (it fails with ENOPROTOOPT)";
    }
    ArmedDatagramSocket member(0), sender;
    ASSERT_TRUE(member.IsOpen() && sender.IsOpen());
    ASSERT_EQ(sender.fSocket.SetMulticastInterface(Platform::HostToNetwork32(kLoopbackAddress)), 0);
    ASSERT_EQ(member.fSocket.JoinGroup(kGroup), 0);
    ASSERT_EQ(sender.SendTo(kGroup, member.Port(), "one"), 0);
    ASSERT_TRUE(member.WaitFor(1));
    EXPECT_EQ(member.At(0).fData, "one");
    EXPECT_EQ(member.At(0).fAddress >> 24, 127u);  // host order (which source, the system's)
    EXPECT_EQ(member.At(0).fPort, sender.Port());
}

// An IPv6 group joined on the interface its index names gets what is sent to it there, until
// it is left. Loopback takes no IPv6 multicast: the namespace's link-local pair carries it.
TEST_F(Multicast, AnIPv6GroupOnTheInterfaceChosenByItsIndexIsDeliveredUntilLeft) {
    const InterfaceIPv6Record* link = nullptr;
    for (uint32_t i = 0; i < SocketUtils::GetIPv6AddressCount(); ++i)
        if (SocketUtils::GetIPv6Address(i)->fAddress.GetScopeId() != 0)
            link = SocketUtils::GetIPv6Address(i);
    ASSERT_NE(link, nullptr) << "no link-local address in the namespace";
    UDPSocket member(nullptr, Socket::kSocketNonBlocking),
        sender(nullptr, Socket::kSocketNonBlocking);
    ASSERT_EQ(member.Open(Socket::kDatagramType, NetAddress::Family::kIPv6), 0);
    ASSERT_EQ(sender.Open(Socket::kDatagramType, NetAddress::Family::kIPv6), 0);
    ASSERT_EQ(member.Bind(NetAddress::IPv6Any(0)), 0);
    // Link-local scope, transient; the scope names the interface the datagrams leave by.
    const std::string text = "[ff12::7701%" + std::to_string(link->fInterfaceIndex) +
                             "]:" + std::to_string(member.GetLocalNetAddress().GetPort());
    NetAddress group;
    ASSERT_EQ(NetAddress::Parse(text.data(), uint32_t(text.size()), &group), 0) << text;
    const auto received = [&member](std::string* data, NetAddress* from) {
        char buffer[64];
        uint32_t length = 0;
        if (member.ReceiveDatagram(from, buffer, sizeof(buffer), &length) != 0) return false;
        data->assign(buffer, length);
        return true;
    };
    std::string data;
    NetAddress from;

    ASSERT_EQ(member.JoinGroup(group, link->fInterfaceIndex), 0);
    ASSERT_EQ(sender.SendDatagram(group, "one", 3), 0);
    ASSERT_TRUE(WaitUntil([&] { return received(&data, &from); }));
    EXPECT_EQ(data, "one");
    EXPECT_EQ(std::memcmp(from.GetBytes(), link->fAddress.GetBytes(), 16), 0);

    EXPECT_EQ(member.LeaveGroup(group, link->fInterfaceIndex), 0);
    ASSERT_EQ(sender.SendDatagram(group, "two", 3), 0);
    EXPECT_TRUE(StaysFalseFor([&] { return received(&data, &from); }, 200ms))
        << "delivered after leaving: " << data;
    EXPECT_NE(member.LeaveGroup(group, link->fInterfaceIndex), 0) << "left twice";
    EXPECT_EQ(member.JoinGroup(NetAddress::IPv4(kGroup, 0), 0), kErrBadAddress);
    member.Dispose();
    sender.Dispose();
}

}  // namespace
