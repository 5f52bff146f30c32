// Multicast membership and delivery. A join sends membership reports on the chosen
// interface, so these tests run only inside the private network namespace that
// scripts/test.sh makes (loopback alone, multicast on, 224.0.0.0/4 routed to it) and
// announces with CU_MULTICAST_NAMESPACE=1. Anywhere else they skip.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SocketUtils.h"
#include "UDPSocket.h"
#include "support/Loopback.h"
#include "support/RuntimeEnvironment.h"
#include "support/TaskProbe.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

constexpr uint32_t kGroup = 0xEFFF4D01;                 // 239.255.77.1, organisation-local scope
constexpr uint32_t kDocumentationAddress = 0xCB007101;  // 203.0.113.1, never a real host

bool NamespaceAnnounced() {
    const char* value = std::getenv("CU_MULTICAST_NAMESPACE");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

// Empty when this process's network looks like the private namespace; otherwise the
// reason it does not.
std::string WhyNotPrivateNetwork() {
    for (uint32_t i = 0; i < SocketUtils::GetInterfaceCount(); ++i) {
        if ((SocketUtils::GetInterfaceAddress(i) >> 24) != 127) {
            const StrPtrLen* text = SocketUtils::GetInterfaceAddressText(i);
            return "an interface has the address " + std::string(text->fPtr, text->fLen);
        }
    }
    // Where the sockets live counts, not only what the interface list says: a datagram
    // socket that can be pointed at an outside address has a route off the machine.
    // (Pointing it sends nothing.)
    const Platform::SocketHandle probe = Platform::OpenSocket(Platform::kSocketDatagram);
    Platform::SocketAddress outside = LoopbackAddress(9);
    outside.fAddress = Platform::HostToNetwork32(kDocumentationAddress);
    const bool routed = Platform::ConnectSocket(probe, &outside) == 0;
    Platform::CloseSocket(probe);
    if (routed) return "a route leads off the machine";
    return "";
}

class Multicast : public testing::Test {
protected:
    void SetUp() override {
        if (!NamespaceAnnounced()) {
            GTEST_SKIP() << "multicast tests join groups, so they run only inside the private "
                            "network namespace that scripts/test.sh makes "
                            "(CU_MULTICAST_NAMESPACE=1)";
        }
        const std::string why = WhyNotPrivateNetwork();
        // Claimed but not so: fail rather than join anywhere real.
        ASSERT_TRUE(why.empty()) << "CU_MULTICAST_NAMESPACE=1, but " << why;
        AssertRecorder::Instance().Take();
    }
    void TearDown() override { EXPECT_TRUE(AssertRecorder::Instance().Take().empty()); }
};

struct Datagram {
    uint32_t fAddress;
    uint16_t fPort;
    std::string fData;
};

// A member of the group: bound to any address on a port of its own, its task takes every
// datagram and arms again.
struct Member {
    Member() : fSocket(&fTask, Socket::kSocketNonBlocking) {
        fTask.fBody = [this](TaskProbe&) -> int64_t {
            char buffer[512];
            uint32_t address = 0, length = 0;
            uint16_t port = 0;
            while (fSocket.ReceiveDatagram(&address, &port, buffer, sizeof(buffer), &length) == 0) {
                std::lock_guard<std::mutex> lock(fMutex);
                fReceived.push_back({address, port, std::string(buffer, length)});
            }
            fSocket.ArmEvent(kWatchRead);
            return 0;
        };
    }
    bool Open() {
        if (fSocket.Open(Socket::kDatagramType) != 0 || fSocket.Bind(0, 0) != 0) return false;
        fSocket.ArmEvent(kWatchRead);
        return true;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(fMutex);
        return fReceived.size();
    }
    Datagram At(size_t index) {
        std::lock_guard<std::mutex> lock(fMutex);
        return fReceived.at(index);
    }

    // Destroyed in reverse: the task first, once it is idle, so that it never runs on a
    // socket or a list that is gone.
    std::mutex fMutex;
    std::vector<Datagram> fReceived;
    UDPSocket fSocket;
    TaskProbe fTask;
};

// A sender on loopback that sends to groups through the loopback interface.
std::unique_ptr<UDPSocket> OpenSender() {
    auto sender = std::make_unique<UDPSocket>(nullptr, Socket::kSocketNonBlocking);
    if (sender->Open(Socket::kDatagramType) != 0 || sender->Bind(kLoopbackAddress, 0) != 0 ||
        sender->SetMulticastInterface(Platform::HostToNetwork32(kLoopbackAddress)) != 0)
        return nullptr;
    return sender;
}

TEST_F(Multicast, AMemberReceivesWhatIsSentToTheGroupWithTheSender) {
    Member member;
    ASSERT_TRUE(member.Open());
    ASSERT_EQ(member.fSocket.JoinGroup(kGroup), 0);
    auto sender = OpenSender();
    ASSERT_TRUE(sender);
    ASSERT_EQ(sender->SendDatagram(kGroup, member.fSocket.GetLocalPort(), "to the group", 12), 0);

    ASSERT_TRUE(WaitUntil([&] { return member.Count() >= 1; }));
    const Datagram datagram = member.At(0);
    EXPECT_EQ(datagram.fData, "to the group");
    EXPECT_EQ(datagram.fAddress, kLoopbackAddress);
    EXPECT_EQ(datagram.fPort, sender->GetLocalPort());
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(member.Count(), 1u) << "delivered more than once";
}

TEST_F(Multicast, AfterLeavingNothingMoreArrives) {
    Member member;
    ASSERT_TRUE(member.Open());
    ASSERT_EQ(member.fSocket.JoinGroup(kGroup), 0);
    auto sender = OpenSender();
    ASSERT_TRUE(sender);
    const uint16_t port = member.fSocket.GetLocalPort();
    ASSERT_EQ(sender->SendDatagram(kGroup, port, "one", 3), 0);
    ASSERT_TRUE(WaitUntil([&] { return member.Count() == 1; }));

    ASSERT_EQ(member.fSocket.LeaveGroup(kGroup), 0);
    ASSERT_EQ(sender->SendDatagram(kGroup, port, "two", 3), 0);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(member.Count(), 1u);
    // Leaving a group the socket is not in fails.
    EXPECT_NE(member.fSocket.LeaveGroup(kGroup), 0);

    // And joining again brings the group back.
    ASSERT_EQ(member.fSocket.JoinGroup(kGroup), 0);
    ASSERT_EQ(sender->SendDatagram(kGroup, port, "three", 5), 0);
    ASSERT_TRUE(WaitUntil([&] { return member.Count() == 2; }));
    EXPECT_EQ(member.At(1).fData, "three");
}

TEST_F(Multicast, JoinsOnTheBoundInterface) {
    // Bound to loopback, the membership names 127.0.0.1 as its interface.
    UDPSocket bound(nullptr, Socket::kSocketNonBlocking);
    ASSERT_EQ(bound.Open(Socket::kDatagramType), 0);
    ASSERT_EQ(bound.Bind(kLoopbackAddress, 0), 0);
    EXPECT_EQ(bound.JoinGroup(kGroup), 0);
    EXPECT_NE(bound.JoinGroup(kGroup), 0) << "a second join of the same group";
    EXPECT_EQ(bound.LeaveGroup(kGroup), 0);
    // A group address that is no group is refused.
    EXPECT_NE(bound.JoinGroup(kLoopbackAddress), 0);
}

TEST_F(Multicast, TtlAndInterfaceSettingsAreKeptAndUsedForSending) {
    Member member;
    ASSERT_TRUE(member.Open());
    ASSERT_EQ(member.fSocket.JoinGroup(kGroup), 0);
    UDPSocket sender(nullptr, Socket::kSocketNonBlocking);
    ASSERT_EQ(sender.Open(Socket::kDatagramType), 0);
    ASSERT_EQ(sender.SetMulticastTtl(300), 0);
    const uint32_t loopback = Platform::HostToNetwork32(kLoopbackAddress);
    ASSERT_EQ(sender.SetMulticastInterface(loopback), 0);

    int32_t ttl = 0;
    uint32_t length = sizeof(ttl);
    ASSERT_EQ(Platform::GetSocketOption(sender.GetSocketFD(), Platform::SocketOption::kMulticastTtl,
                                        &ttl, &length),
              0);
    EXPECT_EQ(ttl & 0xFF, 44);
    uint32_t chosen = 0;
    length = sizeof(chosen);
    ASSERT_EQ(
        Platform::GetSocketOption(sender.GetSocketFD(), Platform::SocketOption::kMulticastInterface,
                                  &chosen, &length),
        0);
    EXPECT_EQ(chosen, loopback);

    // Unbound, the sender goes out through the interface it was given.
    ASSERT_EQ(sender.SendDatagram(kGroup, member.fSocket.GetLocalPort(), "ttl", 3), 0);
    ASSERT_TRUE(WaitUntil([&] { return member.Count() == 1; }));
    EXPECT_EQ(member.At(0).fAddress, kLoopbackAddress);
}

// The namespace gives loopback 40 more addresses, 127.0.1.1 to 127.0.1.40: the whole
// list is read, and a socket bound to the last address knows its text and joins on it.
TEST_F(Multicast, ASocketOnTheLastOfManyAddressesFindsItAndJoinsOnIt) {
    constexpr uint32_t kLastAddress = 0x7F000128;  // 127.0.1.40
    EXPECT_GE(SocketUtils::GetInterfaceCount(), 41u);
    ASSERT_TRUE(SocketUtils::IsLocalAddress(kLastAddress));
    UDPSocket socket(nullptr, Socket::kSocketNonBlocking);
    ASSERT_EQ(socket.Open(Socket::kDatagramType), 0);
    ASSERT_EQ(socket.Bind(kLastAddress, 0), 0);
    const StrPtrLen* text = socket.LocalAddressString();
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text->fPtr, text->fLen), "127.0.1.40");
    EXPECT_EQ(socket.JoinGroup(kGroup), 0);
    EXPECT_EQ(socket.LeaveGroup(kGroup), 0);
}

}  // namespace
