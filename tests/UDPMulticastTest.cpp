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
            ASSERT_EQ(SocketUtils::GetIPv6Address(i)->fAddress, NetAddress::IPv6Loopback(0))
                << "an interface has " << Text(&SocketUtils::GetIPv6Address(i)->fAddressText);
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

// An IPv6 group is joined and left on the interface its index names: loopback's, in here.
TEST_F(Multicast, AnIPv6GroupIsJoinedAndLeftOnAnInterfaceChosenByItsIndex) {
    const InterfaceIPv6Record* loopback = SocketUtils::GetIPv6Address(0);
    ASSERT_NE(loopback, nullptr) << "loopback has no IPv6 address (::1)";
    NetAddress group;  // link-local scope, transient
    ASSERT_EQ(NetAddress::Parse("ff12::7701", 10, &group), 0);
    UDPSocket socket(nullptr, Socket::kSocketNonBlocking);
    ASSERT_EQ(socket.Open(Socket::kDatagramType, NetAddress::Family::kIPv6), 0);
    EXPECT_EQ(socket.JoinGroup(group, loopback->fInterfaceIndex), 0);
    EXPECT_EQ(socket.LeaveGroup(group, loopback->fInterfaceIndex), 0);
    EXPECT_NE(socket.LeaveGroup(group, loopback->fInterfaceIndex), 0) << "left twice";
    EXPECT_EQ(socket.JoinGroup(NetAddress::IPv4(kGroup, 0), 0), kErrBadAddress);
    socket.Dispose();
}

}  // namespace
