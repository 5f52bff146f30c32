// Datagram sockets: datagrams with their senders, through a task armed on the event loop;
// the would-block and oversized receives; the demultiplexer's life; the multicast options
// that send nothing (joins are in UDPMulticastTest); the published assertions.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "UDPSocket.h"
#include "support/Loopback.h"
#include "support/RuntimeEnvironment.h"
#include "support/TaskProbe.h"
#include "support/TestSupport.h"

namespace {

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

// A non-blocking datagram socket bound to 127.0.0.1 on a port the system chose.
std::unique_ptr<UDPSocket> OpenLoopback(Task* task = nullptr, uint32_t flags = 0) {
    auto socket = std::make_unique<UDPSocket>(task, flags | Socket::kSocketNonBlocking);
    if (socket->Open(Socket::kDatagramType) != 0 || socket->Bind(kLoopbackAddress, 0) != 0)
        return nullptr;
    return socket;
}

TEST(UDPDatagrams, ATaskArmedForReadingReceivesEveryDatagramWithItsSender) {
    struct Received {
        uint32_t fAddress;
        uint16_t fPort;
        std::string fData;
    };
    std::mutex mutex;
    std::vector<Received> received;
    TaskProbe task;
    auto receiver = OpenLoopback(&task);
    auto sender = OpenLoopback();
    ASSERT_TRUE(receiver && sender);
    task.fBody = [&](TaskProbe&) -> int64_t {
        char buffer[256];
        uint32_t address = 0, length = 0;
        uint16_t port = 0;
        while (receiver->ReceiveDatagram(&address, &port, buffer, sizeof(buffer), &length) == 0) {
            std::lock_guard<std::mutex> lock(mutex);
            received.push_back({address, port, std::string(buffer, length)});
        }
        receiver->ArmEvent(kWatchRead);
        return 0;
    };
    receiver->ArmEvent(kWatchRead);

    constexpr int kCount = 100;
    for (int i = 0; i < kCount; ++i) {
        const std::string text = "datagram " + std::to_string(i);
        ASSERT_EQ(sender->SendDatagram(kLoopbackAddress, receiver->GetLocalPort(), text.data(),
                                       uint32_t(text.size())),
                  0);
    }
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return received.size() == kCount;
    }));
    // The task arms again after its last datagram; the socket goes only once it is idle.
    ASSERT_TRUE(WaitUntil([&] { return task.GetEvents() == 0; }));
    std::lock_guard<std::mutex> lock(mutex);
    for (int i = 0; i < kCount; ++i) {
        EXPECT_EQ(received[i].fData, "datagram " + std::to_string(i));
        EXPECT_EQ(received[i].fAddress, kLoopbackAddress);
        EXPECT_EQ(received[i].fPort, sender->GetLocalPort());
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
    const Platform::SocketHandle sender = OpenBoundDatagramSocket(&senderPort);
    const Platform::SocketAddress target = LoopbackAddress(receiver->GetLocalPort());
    ASSERT_EQ(Platform::SendSocketTo(sender, "four", 4, &target), 4);
    ASSERT_TRUE(WaitUntil([&] {
        return receiver->ReceiveDatagram(&address, &port, buffer, sizeof(buffer), &length) == 0;
    }));
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(std::string(buffer, 4), "four");
    Platform::CloseSocket(sender);

    address = 0;
    port = 0;
    length = 777;
    EXPECT_EQ(receiver->ReceiveDatagram(&address, &port, buffer, sizeof(buffer), &length), EAGAIN);
    EXPECT_EQ(length, 777u);
    EXPECT_EQ(address, kLoopbackAddress);
    EXPECT_EQ(port, senderPort);
}

TEST(UDPDatagrams, ADatagramLargerThanTheBufferFailsAndIsDropped) {
    auto receiver = OpenLoopback();
    auto sender = OpenLoopback();
    ASSERT_TRUE(receiver && sender);
    std::vector<char> large(2000, 'L');
    ASSERT_EQ(sender->SendDatagram(kLoopbackAddress, receiver->GetLocalPort(), large.data(),
                                   uint32_t(large.size())),
              0);
    ASSERT_EQ(sender->SendDatagram(kLoopbackAddress, receiver->GetLocalPort(), "small", 5), 0);

    // A guard after the buffer shows that nothing is written past it.
    struct {
        char fBuffer[100];
        char fGuard[16];
    } target;
    memset(&target, 'G', sizeof(target));
    uint32_t address = 0, length = 4242;
    uint16_t port = 0;
    int32_t result = EAGAIN;
    ASSERT_TRUE(WaitUntil([&] {
        result = receiver->ReceiveDatagram(&address, &port, target.fBuffer, sizeof(target.fBuffer),
                                           &length);
        return result != EAGAIN;
    }));
    EXPECT_EQ(result, kErrNotConnected);
    EXPECT_EQ(length, 4242u);
    EXPECT_EQ(std::string(target.fGuard, sizeof(target.fGuard)), std::string(16, 'G'));

    // The next datagram is the small one: the oversized one is gone.
    ASSERT_TRUE(WaitUntil([&] {
        result = receiver->ReceiveDatagram(&address, &port, target.fBuffer, sizeof(target.fBuffer),
                                           &length);
        return result != EAGAIN;
    }));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(std::string(target.fBuffer, length), "small");
}

// ---- The demultiplexer -------------------------------------------------------------------

TEST(UDPDemultiplexerLife, OnlyWithTheFlagEmptyAndGoneWithTheSocket) {
    UDPSocket plain(nullptr, 0);
    EXPECT_EQ(plain.GetDemultiplexer(), nullptr);
    EXPECT_EQ(plain.GetFlags(), 0u);

    auto owner = std::make_unique<UDPSocket>(nullptr, UDPSocket::kUseDemultiplexer);
    EXPECT_EQ(owner->GetFlags(), UDPSocket::kUseDemultiplexer);
    UDPDemultiplexer* demultiplexer = owner->GetDemultiplexer();
    ASSERT_NE(demultiplexer, nullptr);
    auto& table = demultiplexer->fTable;
    EXPECT_EQ(table.GetBucketCount(), UDPDemultiplexer::kDemultiplexerBuckets);
    EXPECT_EQ(table.GetBucketCount(), 2747u);
    EXPECT_EQ(table.GetEntryCount(), 0u);
    for (uint32_t i = 0; i < table.GetBucketCount(); ++i)
        ASSERT_EQ(table.BucketHead(i), nullptr);

    // A service's entries are its own: destroying the socket leaves them alone.
    UDPDemultiplexerEntry first(kLoopbackAddress, 5000, &plain);
    UDPDemultiplexerEntry second(kLoopbackAddress + 1, 5001, &plain);
    {
        OSMutexLocker locker(&demultiplexer->fMutex);
        table.Insert(&first);
        table.Insert(&second);
        EXPECT_EQ(table.Lookup(UDPDemultiplexerKey(kLoopbackAddress, 5000)), &first);
    }
    owner.reset();
    EXPECT_EQ(first.fObject, &plain);
    EXPECT_EQ(first.fRemotePort, 5000);
}

// ---- Multicast options that send nothing -------------------------------------------------

TEST(UDPMulticastOptions, TtlIsOneByteOfTheLowEightBits) {
    auto socket = OpenLoopback();
    ASSERT_TRUE(socket);
    ASSERT_EQ(socket->SetMulticastTtl(300), 0);
    int32_t ttl = 0;
    uint32_t length = sizeof(ttl);
    ASSERT_EQ(Platform::GetSocketOption(socket->GetSocketFD(),
                                        Platform::SocketOption::kMulticastTtl, &ttl, &length),
              0);
    EXPECT_EQ(ttl & 0xFF, 44);
    if (length == 4) {
        EXPECT_EQ(ttl, 44);
    }
}

TEST(UDPMulticastOptions, InterfaceIsTakenInNetworkOrder) {
    auto socket = OpenLoopback();
    ASSERT_TRUE(socket);
    AssertRecorder::Instance().Take();
    const uint32_t loopback = Platform::HostToNetwork32(kLoopbackAddress);
    ASSERT_EQ(socket->SetMulticastInterface(loopback), 0);
    uint32_t chosen = 0;
    uint32_t length = sizeof(chosen);
    ASSERT_EQ(
        Platform::GetSocketOption(socket->GetSocketFD(),
                                  Platform::SocketOption::kMulticastInterface, &chosen, &length),
        0);
    EXPECT_EQ(chosen, loopback);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&chosen);
    EXPECT_EQ(bytes[0], 127);
    EXPECT_EQ(bytes[3], 1);
    EXPECT_TRUE(AssertRecorder::Instance().Take().empty());

    // Given in host order it names 1.0.0.127, which no interface has: refused and reported.
    const int32_t error = socket->SetMulticastInterface(kLoopbackAddress);
    EXPECT_NE(error, 0);
    EXPECT_EQ(AssertRecorder::Instance().Take(),
              std::vector<std::string>{"_AssertV: UDPSocket, 182 (" + std::to_string(error) + ")"});
}

// ---- Programming errors ------------------------------------------------------------------

TEST(UDPArguments, NullArgumentsAreReportedAndNoDatagramIsLost) {
    auto receiver = OpenLoopback();
    auto sender = OpenLoopback();
    ASSERT_TRUE(receiver && sender);
    AssertRecorder::Instance().Take();
    EXPECT_EQ(sender->SendDatagram(kLoopbackAddress, receiver->GetLocalPort(), nullptr, 4),
              kErrNotConnected);
    EXPECT_EQ(AssertRecorder::Instance().Take(),
              std::vector<std::string>{"_Assert: UDPSocket, 73"});

    ASSERT_EQ(sender->SendDatagram(kLoopbackAddress, receiver->GetLocalPort(), "kept", 4), 0);
    char buffer[16];
    uint32_t address = 0, length = 0;
    uint16_t port = 0;
    EXPECT_EQ(receiver->ReceiveDatagram(&address, &port, buffer, sizeof(buffer), nullptr),
              kErrNotConnected);
    EXPECT_EQ(receiver->ReceiveDatagram(nullptr, &port, buffer, sizeof(buffer), &length),
              kErrNotConnected);
    EXPECT_EQ(receiver->ReceiveDatagram(&address, nullptr, buffer, sizeof(buffer), &length),
              kErrNotConnected);
    EXPECT_EQ(receiver->ReceiveDatagram(nullptr, nullptr, buffer, sizeof(buffer), nullptr),
              kErrNotConnected);
    EXPECT_EQ(AssertRecorder::Instance().Take(),
              (std::vector<std::string>{"_Assert: UDPSocket, 115", "_Assert: UDPSocket, 116",
                                        "_Assert: UDPSocket, 117", "_Assert: UDPSocket, 115",
                                        "_Assert: UDPSocket, 116", "_Assert: UDPSocket, 117"}));

    ASSERT_TRUE(WaitUntil([&] {
        return receiver->ReceiveDatagram(&address, &port, buffer, sizeof(buffer), &length) == 0;
    }));
    EXPECT_EQ(std::string(buffer, length), "kept");
}

}  // namespace
