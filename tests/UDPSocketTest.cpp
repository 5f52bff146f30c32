// Datagram sockets: the would-block and oversized receives, the demultiplexer's life, the
// multicast options that send nothing, null arguments. (Datagrams through armed tasks are
// in EchoServiceTest, joins in UDPMulticastTest.)
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "UDPSocket.h"
#include "support/Loopback.h"
#include "support/RuntimeEnvironment.h"
#include "support/TestSupport.h"

namespace {

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

bool OpenOnLoopback(UDPSocket* socket) {
    return socket->Open(Socket::kDatagramType) == 0 && socket->Bind(kLoopbackAddress, 0) == 0;
}

// Receives into the buffer until something other than would-block comes.
int32_t ReceiveWithin(UDPSocket* socket, char* buffer, uint32_t size, uint32_t* address,
                      uint16_t* port, uint32_t* length) {
    int32_t result = EAGAIN;
    WaitUntil([&] {
        return (result = socket->ReceiveDatagram(address, port, buffer, size, length)) != EAGAIN;
    });
    return result;
}

TEST(UDPDatagrams, WouldBlockLeavesTheLengthAndRepeatsThePreviousSender) {
    UDPSocket receiver(nullptr, Socket::kSocketNonBlocking);
    ASSERT_TRUE(OpenOnLoopback(&receiver));
    char buffer[64];
    uint32_t address = 1, length = 12345;
    uint16_t port = 1;
    EXPECT_EQ(receiver.ReceiveDatagram(&address, &port, buffer, sizeof(buffer), &length), EAGAIN);
    EXPECT_EQ(address, 0u) << "before any datagram the sender is none";
    EXPECT_EQ(port, 0);
    EXPECT_EQ(length, 12345u);
    uint16_t senderPort = 0;
    const HeldSocket sender(OpenBoundDatagramSocket(&senderPort));
    const Platform::SocketAddress target = LoopbackAddress(receiver.GetLocalPort());
    ASSERT_EQ(Platform::SendSocketTo(sender.Get(), "four", 4, &target), 4);
    ASSERT_EQ(ReceiveWithin(&receiver, buffer, sizeof(buffer), &address, &port, &length), 0);
    EXPECT_EQ(std::string(buffer, length), "four");
    address = 0, port = 0, length = 777;
    EXPECT_EQ(receiver.ReceiveDatagram(&address, &port, buffer, sizeof(buffer), &length), EAGAIN);
    EXPECT_EQ(length, 777u);
    EXPECT_EQ(address, kLoopbackAddress);
    EXPECT_EQ(port, senderPort);
}

TEST(UDPDatagrams, ADatagramLargerThanTheBufferFailsAndIsDropped) {
    UDPSocket receiver(nullptr, Socket::kSocketNonBlocking);
    ASSERT_TRUE(OpenOnLoopback(&receiver));
    const std::string large(2000, 'L');
    ASSERT_TRUE(SendDatagramTo(receiver.GetLocalPort(), large.data(), uint32_t(large.size())));
    ASSERT_TRUE(SendDatagramTo(receiver.GetLocalPort(), "small", 5));
    char target[116];  // 100 bytes of buffer, then a guard that nothing is written past it
    memset(target, 'G', sizeof(target));
    uint32_t address = 0, length = 4242;
    uint16_t port = 0;
    EXPECT_EQ(ReceiveWithin(&receiver, target, 100, &address, &port, &length), kErrNotConnected);
    EXPECT_EQ(length, 4242u);
    EXPECT_EQ(std::string(target + 100, 16), std::string(16, 'G'));
    ASSERT_EQ(ReceiveWithin(&receiver, target, 100, &address, &port, &length), 0);
    EXPECT_EQ(std::string(target, length), "small") << "the oversized datagram was not dropped";
}

TEST(UDPDemultiplexerLife, OnlyWithTheFlagEmptyAndGoneWithTheSocketLeavingEntriesAlone) {
    EXPECT_EQ(UDPSocket(nullptr, 0).GetDemultiplexer(), nullptr);
    auto owner = std::make_unique<UDPSocket>(nullptr, UDPSocket::kUseDemultiplexer);
    UDPDemultiplexer* demultiplexer = owner->GetDemultiplexer();
    ASSERT_NE(demultiplexer, nullptr);
    EXPECT_EQ(demultiplexer->fTable.GetBucketCount(), 2747u);
    EXPECT_EQ(demultiplexer->fTable.GetEntryCount(), 0u);
    int service = 0;
    UDPDemultiplexerEntry entry(kLoopbackAddress, 5000, &service);
    {
        OSMutexLocker locker(&demultiplexer->fMutex);
        demultiplexer->fTable.Insert(&entry);
    }
    owner.reset();  // the entry is the service's: neither freed nor cleared
    EXPECT_EQ(entry.fObject, &service);
    EXPECT_EQ(entry.fRemotePort, 5000);
}

TEST(UDPMulticastOptions, TtlIsTheLowByteAndTheInterfaceIsTakenInNetworkOrder) {
    UDPSocket socket(nullptr, 0);
    ASSERT_EQ(socket.Open(Socket::kDatagramType), 0);
    ReportedAsserts reported;
    ASSERT_EQ(socket.SetMulticastTtl(300), 0);
    EXPECT_EQ(IntOption(socket.GetSocketFD(), Platform::SocketOption::kMulticastTtl), 44);
    EXPECT_EQ(socket.SetMulticastInterface(Platform::HostToNetwork32(kLoopbackAddress)), 0);
    EXPECT_TRUE(reported.Take().empty());
    // In host order it names 1.0.0.127, which no interface has: refused and reported.
    const int32_t error = socket.SetMulticastInterface(kLoopbackAddress);
    EXPECT_NE(error, 0);
    EXPECT_EQ(reported.Take(), std::vector<std::string>{AssertText("UDPSocket", 182, error)});
}

TEST(UDPArguments, NullArgumentsAreReportedAndNoDatagramIsLost) {
    UDPSocket socket(nullptr, Socket::kSocketNonBlocking);
    ASSERT_TRUE(OpenOnLoopback(&socket));
    ASSERT_TRUE(SendDatagramTo(socket.GetLocalPort(), "kept", 4));
    char buffer[16];
    uint32_t address = 0, length = 0;
    uint16_t port = 0;
    const std::pair<std::function<int32_t()>, int> cases[] = {
        // each with its assertion line
        {[&] { return socket.SendDatagram(kLoopbackAddress, port, nullptr, 4); }, 73},
        {[&] { return socket.ReceiveDatagram(&address, &port, buffer, 16, nullptr); }, 115},
        {[&] { return socket.ReceiveDatagram(nullptr, &port, buffer, 16, &length); }, 116},
        {[&] { return socket.ReceiveDatagram(&address, nullptr, buffer, 16, &length); }, 117},
    };
    for (const auto& [call, line] : cases) {
        ReportedAsserts reported;
        EXPECT_EQ(call(), kErrNotConnected);
        EXPECT_EQ(reported.Take(), std::vector<std::string>{AssertText("UDPSocket", line)});
    }
    ASSERT_EQ(ReceiveWithin(&socket, buffer, sizeof(buffer), &address, &port, &length), 0);
    EXPECT_EQ(std::string(buffer, length), "kept");
}

}  // namespace
