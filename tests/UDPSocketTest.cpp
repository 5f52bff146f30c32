// Datagram sockets: receiving and the demultiplexer's life. (Datagrams through armed tasks
// are in EchoServiceTest, multicast in UDPMulticastTest.)

#include <cstring>

#include "UDPSocket.h"
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

}  // namespace
