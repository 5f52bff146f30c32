// Datagram sockets: receiving, batches and the demultiplexer's life. (Datagrams through
// armed tasks are in EchoServiceTest, multicast in UDPMulticastTest.)

#include <cstring>

#include "UDPSocket.h"
#include "platform/FaultInjection.h"
#include "support/Loopback.h"
#include "support/RuntimeEnvironment.h"
#include "support/TestSupport.h"

namespace {

using Reports = std::vector<std::string>;

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

// One receiver through the rules in turn: nothing waiting, a datagram larger than the
// buffer, null arguments, then the datagram sent last, which must have survived them all.
// Its demultiplexer (only with the flag) goes with it, as the leak checkers see.
TEST(UDPSocket, ReceivesRefuseOversizedAndNullWithoutLosingTheNextDatagram) {
    UDPSocket socket(nullptr, Socket::kSocketNonBlocking | UDPSocket::kUseDemultiplexer);
    ASSERT_NE(socket.GetDemultiplexer(), nullptr);
    ASSERT_TRUE(socket.Open(Socket::kDatagramType) == 0 && socket.Bind(kLoopbackAddress, 0) == 0);
    char buffer[116];  // 100 bytes of buffer, then a guard that nothing is written past it
    memset(buffer, 'G', sizeof(buffer));
    uint32_t address = 1, length = 4242;
    uint16_t port = 1;
    const auto receive = [&] {  // until something other than would-block comes
        int32_t result = EAGAIN;
        WaitUntil([&] {
            return (result = socket.ReceiveDatagram(&address, &port, buffer, 100, &length)) !=
                   EAGAIN;
        });
        return result;
    };
    EXPECT_EQ(socket.ReceiveDatagram(&address, &port, buffer, 100, &length), EAGAIN);
    EXPECT_EQ(address + port, 0u) << "before any datagram the sender is none";
    uint16_t senderPort = 0;
    const HeldSocket sender(OpenBoundDatagramSocket(&senderPort));
    const Platform::SocketAddress target = LoopbackAddress(socket.GetLocalPort());
    const std::string large(2000, 'L');
    ASSERT_EQ(Platform::SendSocketTo(sender.Get(), large.data(), 2000, &target), 2000);
    ASSERT_EQ(Platform::SendSocketTo(sender.Get(), "kept", 4, &target), 4);
    EXPECT_EQ(receive(), kErrNotConnected);
    EXPECT_EQ(length, 4242u);
    EXPECT_EQ(std::string(buffer + 100, 16), std::string(16, 'G'));
    const std::pair<std::function<int32_t()>, int> cases[] = {
        {[&] { return socket.SendDatagram(kLoopbackAddress, port, nullptr, 4); }, 73},
        {[&] { return socket.ReceiveDatagram(&address, &port, buffer, 16, nullptr); }, 115},
        {[&] { return socket.ReceiveDatagram(nullptr, &port, buffer, 16, &length); }, 116},
        {[&] { return socket.ReceiveDatagram(&address, nullptr, buffer, 16, &length); }, 117},
    };
    for (const auto& [call, line] : cases) {
        ReportedAsserts reported;
        EXPECT_EQ(call(), kErrNotConnected);
        EXPECT_EQ(reported.Take(), Reports{AssertText("UDPSocket", line)});
    }
    ASSERT_EQ(receive(), 0);
    EXPECT_EQ(std::string(buffer, length), "kept") << "the oversized datagram was not dropped";
    address = 0, port = 0, length = 777;
    EXPECT_EQ(socket.ReceiveDatagram(&address, &port, buffer, 100, &length), EAGAIN);
    EXPECT_EQ(length, 777u);
    EXPECT_EQ(address, kLoopbackAddress) << "the previous sender, again";
    EXPECT_EQ(port, senderPort);
}

// Batches over each family: datagrams taken in calls of at most three (so the last comes
// short), an empty one, one too large for its buffer reported as the single receive does,
// every sender kept. Then a send batch cut where the socket fills (an injected "would
// block", as loopback never fills), and the caller sending the rest again.
TEST(UDPSocket, BatchesKeepEveryDatagramAndSenderAndStopWhereTheSocketDoes) {
    std::vector<NetAddress> loopbacks = {NetAddress::IPv4(kLoopbackAddress, 0)};
    if (HasIPv6Loopback()) loopbacks.push_back(NetAddress::IPv6Loopback(0));
    for (const NetAddress& loopback : loopbacks) {
        SCOPED_TRACE(Text(loopback));
        UDPSocket receiver(nullptr, Socket::kSocketNonBlocking);
        UDPSocket sender(nullptr, Socket::kSocketNonBlocking);
        for (UDPSocket* socket : {&receiver, &sender})
            ASSERT_TRUE(socket->Open(Socket::kDatagramType, loopback.GetFamily()) == 0 &&
                        socket->Bind(loopback) == 0);
        NetAddress to = loopback, from = loopback;
        to.SetPort(receiver.GetLocalPort());
        from.SetPort(sender.GetLocalPort());
        std::string data[] = {"first", "", std::string(200, 'L'), "last"};
        const Reports expected = {"first", "", "error " + std::to_string(kErrNotConnected), "last"};
        UDPSocket::Datagram out[4];
        for (uint32_t i = 0; i < 4; ++i)
            out[i] = {data[i].data(), 0, uint32_t(data[i].size()), to, 0};
        const auto receive = [&] {
            Reports taken;
            char buffers[3][100];
            WaitUntil([&] {
                UDPSocket::Datagram in[3];
                for (uint32_t i = 0; i < 3; ++i)
                    in[i] = {buffers[i], sizeof(buffers[i]), 0, NetAddress(), 0};
                uint32_t received = 99;
                const int32_t error = receiver.ReceiveDatagrams(in, 3, &received);
                EXPECT_TRUE(error == 0 ? received > 0 : error == EAGAIN && received == 0) << error;
                for (uint32_t i = 0; i < received; ++i) {
                    EXPECT_EQ(Text(in[i].fPeer), Text(from));
                    taken.push_back(in[i].fError != 0 ? "error " + std::to_string(in[i].fError)
                                                      : std::string(buffers[i], in[i].fLength));
                }
                return taken.size() >= expected.size();
            });
            return taken;
        };
        uint32_t sent = 0;
        EXPECT_TRUE(sender.SendDatagrams(out, 4, &sent) == 0 && sent == 4);
        EXPECT_EQ(receive(), expected);
        if (!Platform::kFaultInjectionBuilt) continue;
        Platform::InjectFault(Platform::FaultPoint::kSendTo, 10035, 2, 2);  // full after two
        const std::pair<int32_t, uint32_t> cut[] = {{0, 2}, {EAGAIN, 0}, {0, 2}};
        uint32_t first = 0;
        for (const auto& [error, count] : cut) {
            EXPECT_EQ(sender.SendDatagrams(out + first, 4 - first, &sent), error);
            EXPECT_EQ(sent, count);
            first += sent;
        }
        Platform::ClearFaults();
        EXPECT_EQ(receive(), expected) << "the rest sent again, in order";
    }
}

}  // namespace
