// Datagram sockets: datagrams with their senders through a task armed on the event loop,
// the would-block and oversized receives, the demultiplexer's life, the multicast options
// that send nothing (joins are in UDPMulticastTest) and the published assertions.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "UDPSocket.h"
#include "support/Datagrams.h"
#include "support/Loopback.h"
#include "support/RuntimeEnvironment.h"
#include "support/TestSupport.h"

namespace {

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

// A non-blocking datagram socket bound to 127.0.0.1, not armed.
std::unique_ptr<UDPSocket> OpenLoopback() {
    auto socket = std::make_unique<UDPSocket>(nullptr, Socket::kSocketNonBlocking);
    if (socket->Open(Socket::kDatagramType) != 0 || socket->Bind(kLoopbackAddress, 0) != 0)
        return nullptr;
    return socket;
}

TEST(UDPDatagrams, AnArmedTaskReceivesEveryDatagramWithItsSender) {
    ArmedDatagramSocket receiver, sender;
    ASSERT_TRUE(receiver.IsOpen() && sender.IsOpen());
    constexpr int kCount = 100;
    for (int i = 0; i < kCount; ++i)
        ASSERT_EQ(sender.SendTo(kLoopbackAddress, receiver.Port(), "datagram " + std::to_string(i)),
                  0);
    ASSERT_TRUE(receiver.fReceived.WaitFor(kCount));
    for (int i = 0; i < kCount; ++i) {
        const Datagram datagram = receiver.fReceived.At(size_t(i));
        EXPECT_EQ(datagram.fData, "datagram " + std::to_string(i));
        EXPECT_EQ(datagram.fAddress, kLoopbackAddress);
        EXPECT_EQ(datagram.fPort, sender.Port());
    }
}

TEST(UDPDatagrams, WouldBlockLeavesTheLengthAndRepeatsThePreviousSender) {
    auto receiver = OpenLoopback();
    ASSERT_TRUE(receiver);
    char buffer[64];
    uint32_t address = 1, length = 12345;
    uint16_t port = 1;
    // Before any datagram the sender is all zero.
    EXPECT_EQ(receiver->ReceiveDatagram(&address, &port, buffer, sizeof(buffer), &length), EAGAIN);
    EXPECT_EQ(address, 0u);
    EXPECT_EQ(port, 0);
    EXPECT_EQ(length, 12345u);

    uint16_t senderPort = 0;
    const HeldSocket sender(OpenBoundDatagramSocket(&senderPort));
    const Platform::SocketAddress target = LoopbackAddress(receiver->GetLocalPort());
    ASSERT_EQ(Platform::SendSocketTo(sender.Get(), "four", 4, &target), 4);
    ASSERT_TRUE(WaitUntil([&] {
        return receiver->ReceiveDatagram(&address, &port, buffer, sizeof(buffer), &length) == 0;
    }));
    EXPECT_EQ(std::string(buffer, length), "four");

    address = 0, port = 0, length = 777;
    EXPECT_EQ(receiver->ReceiveDatagram(&address, &port, buffer, sizeof(buffer), &length), EAGAIN);
    EXPECT_EQ(length, 777u);
    EXPECT_EQ(address, kLoopbackAddress);
    EXPECT_EQ(port, senderPort);
}

TEST(UDPDatagrams, ADatagramLargerThanTheBufferFailsAndIsDropped) {
    auto receiver = OpenLoopback();
    ASSERT_TRUE(receiver);
    const std::string large(2000, 'L');
    ASSERT_TRUE(SendDatagramTo(receiver->GetLocalPort(), large.data(), uint32_t(large.size())));
    ASSERT_TRUE(SendDatagramTo(receiver->GetLocalPort(), "small", 5));

    // A guard after the buffer shows that nothing is written past it.
    struct {
        char fBuffer[100];
        char fGuard[16];
    } target;
    memset(&target, 'G', sizeof(target));
    uint32_t address = 0, length = 4242;
    uint16_t port = 0;
    const auto receive = [&] {
        int32_t result = EAGAIN;
        WaitUntil([&] {
            result = receiver->ReceiveDatagram(&address, &port, target.fBuffer,
                                               sizeof(target.fBuffer), &length);
            return result != EAGAIN;
        });
        return result;
    };
    EXPECT_EQ(receive(), kErrNotConnected);
    EXPECT_EQ(length, 4242u);
    EXPECT_EQ(std::string(target.fGuard, sizeof(target.fGuard)), std::string(16, 'G'));
    ASSERT_EQ(receive(), 0) << "the oversized datagram was not dropped";
    EXPECT_EQ(std::string(target.fBuffer, length), "small");
}

TEST(UDPDemultiplexerLife, OnlyWithTheFlagEmptyAndGoneWithTheSocketLeavingEntriesAlone) {
    UDPSocket plain(nullptr, 0);
    EXPECT_EQ(plain.GetDemultiplexer(), nullptr);
    auto owner = std::make_unique<UDPSocket>(nullptr, UDPSocket::kUseDemultiplexer);
    EXPECT_EQ(owner->GetFlags(), UDPSocket::kUseDemultiplexer);
    UDPDemultiplexer* demultiplexer = owner->GetDemultiplexer();
    ASSERT_NE(demultiplexer, nullptr);
    auto& table = demultiplexer->fTable;
    EXPECT_EQ(table.GetBucketCount(), 2747u);
    EXPECT_EQ(table.GetEntryCount(), 0u);

    UDPDemultiplexerEntry entry(kLoopbackAddress, 5000, &plain);
    {
        OSMutexLocker locker(&demultiplexer->fMutex);
        table.Insert(&entry);
        EXPECT_EQ(table.Lookup(UDPDemultiplexerKey(kLoopbackAddress, 5000)), &entry);
    }
    owner.reset();  // the entry is the service's: neither freed nor cleared
    EXPECT_EQ(entry.fObject, &plain);
    EXPECT_EQ(entry.fRemotePort, 5000);
}

TEST(UDPMulticastOptions, TtlIsTheLowByteAndTheInterfaceIsTakenInNetworkOrder) {
    auto socket = OpenLoopback();
    ASSERT_TRUE(socket);
    ReportedAsserts reported;
    ASSERT_EQ(socket->SetMulticastTtl(300), 0);
    EXPECT_EQ(IntOption(socket->GetSocketFD(), Platform::SocketOption::kMulticastTtl), 44);
    EXPECT_EQ(socket->SetMulticastInterface(Platform::HostToNetwork32(kLoopbackAddress)), 0);
    EXPECT_TRUE(reported.Take().empty());
    // Given in host order it names 1.0.0.127, which no interface has: refused and reported.
    const int32_t error = socket->SetMulticastInterface(kLoopbackAddress);
    EXPECT_NE(error, 0);
    EXPECT_EQ(reported.Take(), std::vector<std::string>{AssertText("UDPSocket", 182, error)});
}

TEST(UDPArguments, NullArgumentsAreReportedAndNoDatagramIsLost) {
    auto receiver = OpenLoopback();
    ASSERT_TRUE(receiver);
    ASSERT_TRUE(SendDatagramTo(receiver->GetLocalPort(), "kept", 4));
    char buffer[16];
    uint32_t address = 0, length = 0;
    uint16_t port = 0;
    UDPSocket& socket = *receiver;
    const struct {
        std::function<int32_t()> fCall;
        std::vector<std::string> fReport;
    } cases[] = {
        {[&] { return socket.SendDatagram(kLoopbackAddress, socket.GetLocalPort(), nullptr, 4); },
         {AssertText("UDPSocket", 73)}},
        {[&] { return socket.ReceiveDatagram(&address, &port, buffer, 16, nullptr); },
         {AssertText("UDPSocket", 115)}},
        {[&] { return socket.ReceiveDatagram(nullptr, &port, buffer, 16, &length); },
         {AssertText("UDPSocket", 116)}},
        {[&] { return socket.ReceiveDatagram(&address, nullptr, buffer, 16, &length); },
         {AssertText("UDPSocket", 117)}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        ReportedAsserts reported;
        EXPECT_EQ(cases[i].fCall(), kErrNotConnected);
        EXPECT_EQ(reported.Take(), cases[i].fReport);
    }
    ASSERT_TRUE(WaitUntil([&] {
        return socket.ReceiveDatagram(&address, &port, buffer, sizeof(buffer), &length) == 0;
    }));
    EXPECT_EQ(std::string(buffer, length), "kept");
}

}  // namespace
