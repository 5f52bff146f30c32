// Chosen platform calls fail or are interrupted; every operation must then do what it
// promises: retry, report the right error number or assertion, change no more state than
// it says, leak nothing and never hang.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "EventContext.h"
#include "Socket.h"
#include "TCPListenerSocket.h"
#include "TCPSocket.h"
#include "UDPSocket.h"
#include "platform/FaultInjection.h"
#include "support/Loopback.h"
#include "support/RuntimeEnvironment.h"
#include "support/TaskProbe.h"
#include "support/TestSupport.h"

namespace {

using Platform::FaultPoint;

// Windows error codes, as the platform layer takes them on every platform.
constexpr uint32_t kInterrupted = 10004;   // WSAEINTR
constexpr uint32_t kInvalid = 10022;       // WSAEINVAL
constexpr uint32_t kTooManyFiles = 10024;  // WSAEMFILE
constexpr uint32_t kWouldBlock = 10035;    // WSAEWOULDBLOCK
constexpr uint32_t kNotSocket = 10038;     // WSAENOTSOCK
constexpr uint32_t kNoOption = 10042;      // WSAENOPROTOOPT
constexpr uint32_t kAddressInUse = 10048;  // WSAEADDRINUSE
constexpr uint32_t kAborted = 10053;       // WSAECONNABORTED
constexpr uint32_t kReset = 10054;         // WSAECONNRESET
constexpr uint32_t kNotConnected = 10057;  // WSAENOTCONN
constexpr uint32_t kRefused = 10061;       // WSAECONNREFUSED

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

class FaultInjection : public testing::Test {
protected:
    void SetUp() override {
        if (!Platform::kFaultInjectionBuilt) GTEST_SKIP() << "built without fault points";
        AssertRecorder::Instance().Take();
    }
    void TearDown() override { Platform::ClearFaults(); }

    static std::vector<std::string> Asserts() { return AssertRecorder::Instance().Take(); }
};

// A connected stream: `socket` is the runtime's side, `peer` a plain blocking socket.
class ConnectedStream : public FaultInjection {
protected:
    void SetUp() override {
        FaultInjection::SetUp();
        if (IsSkipped()) return;
        Platform::SocketHandle server;
        ASSERT_TRUE(MakeStreamPair(&fPeer, &server));
        fSocket = std::make_unique<Socket>(nullptr, Socket::kSocketConnected);
        fSocket->SetNonBlocking(server);
    }
    void TearDown() override {
        FaultInjection::TearDown();
        fSocket.reset();
        if (fPeer != Platform::kInvalidSocket) Platform::CloseSocket(fPeer);
    }

    std::string PeerReceives(uint32_t length) {
        std::string bytes(length, '\0');
        uint32_t got = 0;
        while (got < length) {
            const int32_t n = Platform::ReceiveSocket(fPeer, &bytes[got], length - got);
            if (n <= 0) break;
            got += uint32_t(n);
        }
        bytes.resize(got);
        return bytes;
    }

    Platform::SocketHandle fPeer = Platform::kInvalidSocket;
    std::unique_ptr<Socket> fSocket;
};

TEST_F(ConnectedStream, InterruptedTransfersAreRetried) {
    Platform::InjectFault(FaultPoint::kSend, kInterrupted, 3);
    uint32_t sent = 0;
    EXPECT_EQ(fSocket->Send("abc", 3, &sent), 0);
    EXPECT_EQ(sent, 3u);
    EXPECT_EQ(Platform::FaultsTaken(FaultPoint::kSend), 3u);

    char second[] = "de";
    SocketBuffer buffers[1] = {{2, second}};
    Platform::InjectFault(FaultPoint::kSendVector, kInterrupted, 2);
    EXPECT_EQ(fSocket->SendVector(buffers, 1, &sent), 0);
    EXPECT_EQ(sent, 2u);
    EXPECT_EQ(PeerReceives(5), "abcde");

    ASSERT_EQ(Platform::SendSocket(fPeer, "xy", 2), 2);
    Platform::InjectFault(FaultPoint::kReceive, kInterrupted, 2);
    char buffer[8];
    uint32_t received = 0;
    ASSERT_TRUE(WaitUntil([&] {
        const int32_t result = fSocket->Read(buffer, sizeof(buffer), &received);
        return result != EAGAIN;
    }));
    EXPECT_EQ(std::string(buffer, received), "xy");
    EXPECT_EQ(Platform::FaultsTaken(FaultPoint::kReceive), 2u);
    EXPECT_TRUE(fSocket->IsConnected());
    EXPECT_TRUE(Asserts().empty());
}

TEST_F(ConnectedStream, WouldBlockKeepsTheConnection) {
    uint32_t count = 0;
    Platform::InjectFault(FaultPoint::kSend, kWouldBlock);
    EXPECT_EQ(fSocket->Send("a", 1, &count), EAGAIN);
    Platform::InjectFault(FaultPoint::kReceive, kWouldBlock);
    char buffer[4];
    EXPECT_EQ(fSocket->Read(buffer, sizeof(buffer), &count), EAGAIN);
    EXPECT_TRUE(fSocket->IsConnected());
    EXPECT_EQ(fSocket->Send("b", 1, &count), 0);
    EXPECT_EQ(PeerReceives(1), "b");
}

TEST_F(ConnectedStream, ResetEndsTheConnectionAndLaterCallsTouchNothing) {
    uint32_t count = 0;
    Platform::InjectFault(FaultPoint::kSend, kReset);
    EXPECT_EQ(fSocket->Send("a", 1, &count), EPIPE);
    EXPECT_FALSE(fSocket->IsConnected());
    // Not connected any more: no platform call is made at all.
    Platform::InjectFault(FaultPoint::kSend, kReset);
    Platform::InjectFault(FaultPoint::kReceive, kReset);
    char buffer[4];
    EXPECT_EQ(fSocket->Send("a", 1, &count), kErrNotConnected);
    EXPECT_EQ(fSocket->Read(buffer, sizeof(buffer), &count), kErrNotConnected);
    EXPECT_EQ(Platform::FaultsTaken(FaultPoint::kSend), 1u);
    EXPECT_EQ(Platform::FaultsTaken(FaultPoint::kReceive), 0u);
}

TEST_F(ConnectedStream, FailuresOtherThanWouldBlockEndTheConnection) {
    uint32_t count = 0;
    char buffer[4];
    Platform::InjectFault(FaultPoint::kReceive, kAborted);
    EXPECT_EQ(fSocket->Read(buffer, sizeof(buffer), &count), EPIPE);
    EXPECT_FALSE(fSocket->IsConnected());

    Socket other(nullptr, Socket::kSocketConnected);
    Platform::InjectFault(FaultPoint::kSendVector, kNotConnected);
    char data[] = "z";
    SocketBuffer buffers[1] = {{1, data}};
    EXPECT_EQ(other.SendVector(buffers, 1, nullptr), kErrNotConnected);
    EXPECT_FALSE(other.IsConnected());
}

TEST_F(FaultInjection, OptionFailuresAreReportedAsTheyPromise) {
    Socket socket(nullptr, 0);
    ASSERT_EQ(socket.Open(Socket::kStreamType), 0);
    Platform::InjectFault(FaultPoint::kSetOption, kNoOption, 5);
    socket.SetReuseAddress();
    socket.SetNoDelay();
    socket.SetKeepAlive();
    socket.SetSendBufferSize(4096);
    EXPECT_EQ(socket.SetReceiveBufferSize(4096), kErrNotConnected);  // returned, not asserted
    const auto texts = Asserts();
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[0], "_Assert: Socket, 103");
    EXPECT_EQ(texts[1], "_Assert: Socket, 110");
    EXPECT_EQ(texts[2], "_Assert: Socket, 117");
    EXPECT_EQ(texts[3], "_AssertV: Socket, 131 (1002)");
}

TEST_F(FaultInjection, OpenAndBindFailuresLeaveTheSocketAsItWas) {
    Socket socket(nullptr, Socket::kSocketNonBlocking);
    Platform::InjectFault(FaultPoint::kOpenSocket, kTooManyFiles);
    EXPECT_EQ(socket.Open(Socket::kStreamType), EMFILE);
    EXPECT_EQ(socket.GetSocketFD(), -1);

    ASSERT_EQ(socket.Open(Socket::kStreamType), 0);
    Platform::InjectFault(FaultPoint::kBind, kAddressInUse);
    EXPECT_EQ(socket.Bind(kLoopbackAddress, 4567), kErrAddressInUse);
    EXPECT_EQ(socket.GetLocalAddress(), 0u);
    EXPECT_EQ(socket.GetLocalPort(), 0u);
    EXPECT_EQ(socket.GetFlags() & Socket::kSocketBound, 0u);
    EXPECT_TRUE(Asserts().empty());
}

TEST_F(FaultInjection, ContextPlatformFailuresAreReportedWithTheError) {
    uint16_t port = 0;
    const Platform::SocketHandle handle = OpenBoundDatagramSocket(&port);
    TaskProbe task;
    EventContext context(-1, RuntimeEnvironment::EventLoop());
    context.SetTask(&task);
    Platform::InjectFault(FaultPoint::kSetNonBlocking, kInvalid);
    context.SetNonBlocking(handle);
    EXPECT_EQ(context.GetSocketFD(), handle);  // the handle is kept all the same

    Platform::InjectFault(FaultPoint::kSelectEvents, kNotSocket);
    context.ArmEvent(kWatchRead);  // first watch fails
    Platform::InjectFault(FaultPoint::kSelectEvents, kNotSocket);
    context.ArmEvent(kWatchRead);  // and the re-arm
    auto texts = Asserts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], "_AssertV: EventContext, 82 (1002)");
    EXPECT_EQ(texts[1], "_AssertV: EventContext, 232 (1002)");
    EXPECT_EQ(texts[2], "_AssertV: EventContext, 174 (1002)");

    // The registration stands: the next arming works and delivers.
    context.ArmEvent(kWatchRead);
    ASSERT_TRUE(SendDatagramTo(port, "x", 1));
    EXPECT_TRUE(WaitUntil([&] { return task.fRuns.load() == 1; }));

    // A failed close is reported; the context lets go of the handle either way.
    Platform::InjectFault(FaultPoint::kCloseSocket, kNotSocket);
    context.Dispose();
    EXPECT_EQ(context.GetSocketFD(), -1);
    texts = Asserts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], "_AssertV: EventContext, 124 (1002)");
    Platform::CloseSocket(handle);  // the injected failure left it open
}

TEST_F(FaultInjection, DatagramFailures) {
    UDPSocket socket(nullptr, Socket::kSocketNonBlocking);
    ASSERT_EQ(socket.Open(Socket::kDatagramType), 0);
    ASSERT_EQ(socket.Bind(kLoopbackAddress, 0), 0);
    Platform::InjectFault(FaultPoint::kSendTo, kReset);
    EXPECT_EQ(socket.SendDatagram(kLoopbackAddress, socket.GetLocalPort(), "a", 1), EPIPE);

    uint32_t address = 1, length = 77;
    uint16_t port = 1;
    char buffer[8];
    Platform::InjectFault(FaultPoint::kReceiveFrom, kWouldBlock);
    EXPECT_EQ(socket.ReceiveDatagram(&address, &port, buffer, sizeof(buffer), &length), EAGAIN);
    EXPECT_EQ(length, 77u);  // untouched
    EXPECT_EQ(address, 0u);  // no datagram yet: the previous sender is none
    EXPECT_EQ(port, 0u);

    Platform::InjectFault(FaultPoint::kSetOption, kInvalid);
    EXPECT_EQ(socket.SetMulticastInterface(Platform::HostToNetwork32(kLoopbackAddress)),
              kErrNotConnected);
    const auto texts = Asserts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], "_AssertV: UDPSocket, 182 (1002)");
}

// A listener whose accepts fail for want of handles pauses and then serves the connection.
TEST_F(FaultInjection, ListenerOutOfHandlesRecovers) {
    struct Listener : TCPListenerSocket {
        Task* CreateConnectionTask(uint32_t, uint16_t, TCPSocket** socket) override {
            fAccepted.fetch_add(1);
            fLast = std::make_unique<TCPSocket>(nullptr, 0);
            *socket = fLast.get();
            return &fTask;
        }
        std::atomic<int> fAccepted{0};
        std::unique_ptr<TCPSocket> fLast;
        TaskProbe fTask;
    };
    auto* listener = new Listener;
    ASSERT_EQ(listener->Listen(kLoopbackAddress, 0), 0);
    Platform::InjectFault(FaultPoint::kAccept, kTooManyFiles, 2);
    Platform::SocketHandle client = Platform::OpenSocket(Platform::kSocketStream);
    const Platform::SocketAddress target = LoopbackAddress(listener->GetLocalPort());
    ASSERT_EQ(Platform::ConnectSocket(client, &target), 0);
    EXPECT_TRUE(WaitUntil([&] { return listener->fAccepted.load() == 1; }));
    EXPECT_EQ(Platform::FaultsTaken(FaultPoint::kAccept), 2u);
    // The connection's task has run before the listener, which owns it, goes away.
    EXPECT_TRUE(WaitUntil([&] { return listener->fTask.fRuns.load() >= 1; }));
    Platform::CloseSocket(client);
    listener->StopListening();  // the listener ends its own task and is deleted
}

TEST_F(FaultInjection, RefusedConnectIsReported) {
    TCPSocket socket(nullptr, 0);
    Platform::InjectFault(FaultPoint::kConnect, kRefused);
    const int32_t result = socket.Connect(kLoopbackAddress, 9);
    EXPECT_NE(result, 0);
    EXPECT_NE(result, kErrInProgress);
    EXPECT_FALSE(socket.IsConnected());
}

}  // namespace
