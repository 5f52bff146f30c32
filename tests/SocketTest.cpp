// Stream sockets through the real event loop and task threads: transfers in order, the
// connected state across peer close, reset and full buffers, binding, the cached local
// texts, option setters and the published assertions.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Socket.h"
#include "SocketUtils.h"
#include "support/Loopback.h"
#include "support/RuntimeEnvironment.h"
#include "support/TaskProbe.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

constexpr uint32_t kConnectedNonBlocking = Socket::kSocketConnected | Socket::kSocketNonBlocking;
constexpr int32_t kEpipe = 32;

// A socket that can mark itself connected again, as a subclass that connects sockets does.
class TestSocket : public Socket {
public:
    using Socket::Socket;
    void MarkConnected() { fFlags |= kSocketConnected; }
};

// A loopback connection: a raw blocking peer, and the other end wrapped into a socket as an
// acceptor would build it.
struct Connection {
    explicit Connection(uint32_t flags = kConnectedNonBlocking) {
        Platform::SocketHandle accepted = Platform::kInvalidSocket;
        fMade = MakeStreamPair(&fPeer, &accepted);
        // The peer never blocks either, so that a test waits for it only within limits.
        if (fMade) Platform::SetSocketNonBlocking(fPeer);
        fSocket = std::make_unique<TestSocket>(&fTask, flags);
        if (fMade) fSocket->SetNonBlocking(accepted);
    }
    ~Connection() {
        fSocket.reset();
        if (fPeer != Platform::kInvalidSocket) Platform::CloseSocket(fPeer);
    }
    // Reads `length` bytes from the peer's end, or what came within the usual time limit.
    std::string PeerReceive(uint64_t length) {
        std::string received;
        char buffer[16 * 1024];
        WaitUntil([&] {
            int32_t count;
            while ((count = Platform::ReceiveSocket(fPeer, buffer, sizeof(buffer))) > 0)
                received.append(buffer, size_t(count));
            return received.size() >= length || count == 0;
        });
        return received;
    }
    bool PeerSend(const std::string& data) {
        return Platform::SendSocket(fPeer, data.data(), uint32_t(data.size())) ==
               int32_t(data.size());
    }
    // Resets the connection from the peer's side and waits until the socket has seen it.
    bool PeerResets() {
        fSocket->ArmEvent(kWatchRead);
        if (Platform::CloseSocketWithReset(fPeer) != 0) return false;
        fPeer = Platform::kInvalidSocket;
        return WaitUntil([this] { return fTask.fRuns.load() > 0; });
    }

    bool fMade = false;
    Platform::SocketHandle fPeer = Platform::kInvalidSocket;
    TaskProbe fTask;
    std::unique_ptr<TestSocket> fSocket;
};

std::string Text(const StrPtrLen* text) {
    return std::string(text->fPtr, text->fLen);
}

// ---- Transfers through tasks and the event loop ------------------------------------------

uint8_t PatternByte(uint64_t index) {
    return uint8_t((index * 131) ^ (index >> 11));
}

// Streams a few megabytes from one task to another over loopback: the sender alternates
// Send and SendVector in chunks of varied size and arms for writing whenever the buffer is
// full; the receiver reads whatever is there and arms for reading. Then the sender closes.
TEST(SocketStream, EveryByteArrivesInOrderThenPeerCloseEndsTheConnection) {
    constexpr uint64_t kTotal = 4u << 20;
    std::vector<char> pattern(kTotal);
    for (uint64_t i = 0; i < kTotal; ++i)
        pattern[i] = char(PatternByte(i));

    Platform::SocketHandle senderHandle = Platform::kInvalidSocket;
    Platform::SocketHandle receiverHandle = Platform::kInvalidSocket;
    ASSERT_TRUE(MakeStreamPair(&senderHandle, &receiverHandle));
    TaskProbe senderTask, receiverTask;
    Socket sender(&senderTask, kConnectedNonBlocking);
    Socket receiver(&receiverTask, kConnectedNonBlocking);
    sender.SetNonBlocking(senderHandle);
    receiver.SetNonBlocking(receiverHandle);
    // Small buffers, so that the sender fills them and has to wait for the reader.
    sender.SetSendBufferSize(64 * 1024);
    ASSERT_EQ(receiver.SetReceiveBufferSize(64 * 1024), 0);

    std::atomic<uint64_t> sent{0}, received{0}, firstMismatch{kTotal};
    std::atomic<int> writeWaits{0}, senderError{0}, receiverError{0};
    std::atomic<bool> senderDone{false}, receiverEnded{false}, stillConnected{true};
    std::atomic<int32_t> secondRead{0};
    uint32_t chunkSeed = 12345;

    senderTask.fBody = [&](TaskProbe&) -> int64_t {
        uint64_t offset = sent.load();
        while (offset < kTotal) {
            chunkSeed = chunkSeed * 1103515245 + 12345;
            const uint32_t chunk =
                uint32_t(std::min<uint64_t>(1 + (chunkSeed >> 8) % 70000, kTotal - offset));
            char* data = pattern.data() + offset;
            uint32_t count = 0;
            int32_t result;
            if (offset % 2 == 0) {
                result = sender.Send(data, chunk, &count);
            } else {  // the same bytes in three pieces, the middle one possibly empty
                const uint32_t first = chunk / 3, second = chunk / 7;
                const SocketBuffer buffers[3] = {{first, data},
                                                 {second, data + first},
                                                 {chunk - first - second, data + first + second}};
                result = sender.SendVector(buffers, 3, &count);
            }
            if (result == EAGAIN) {
                writeWaits.fetch_add(1);
                sender.ArmEvent(kWatchWrite);
                return 0;
            }
            if (result != 0) {
                senderError = result;
                return 0;
            }
            offset += count;
            sent = offset;
        }
        sender.Dispose();  // the orderly end the receiver should see
        senderDone = true;
        return 0;
    };
    receiverTask.fBody = [&](TaskProbe&) -> int64_t {
        if (receiverEnded) return 0;
        char buffer[24 * 1024];
        for (;;) {
            uint32_t count = 0;
            const int32_t result = receiver.Read(buffer, sizeof(buffer), &count);
            if (result == EAGAIN) {
                receiver.ArmEvent(kWatchRead);
                return 0;
            }
            if (result == kErrNotConnected) {
                stillConnected = receiver.IsConnected();
                secondRead = receiver.Read(buffer, sizeof(buffer), &count);
                receiverEnded = true;
                return 0;
            }
            if (result != 0) {
                receiverError = result;
                receiverEnded = true;
                return 0;
            }
            const uint64_t base = received.load();
            for (uint32_t i = 0; i < count; ++i) {
                if (base + i >= kTotal || buffer[i] != pattern[base + i]) {
                    uint64_t expected = kTotal;
                    firstMismatch.compare_exchange_strong(expected, base + i);
                    break;
                }
            }
            received = base + count;
        }
    };

    receiver.ArmEvent(kWatchRead);
    senderTask.Signal(Task::kReadEvent);
    ASSERT_TRUE(WaitUntil([&] { return receiverEnded.load(); }, 60s))
        << "sent " << sent.load() << ", received " << received.load();
    ASSERT_TRUE(
        WaitUntil([&] { return senderTask.GetEvents() == 0 && receiverTask.GetEvents() == 0; }));
    EXPECT_TRUE(senderDone.load());
    EXPECT_EQ(senderError.load(), 0);
    EXPECT_EQ(receiverError.load(), 0);
    EXPECT_EQ(received.load(), kTotal);
    EXPECT_EQ(firstMismatch.load(), kTotal) << "first wrong byte";
    EXPECT_GT(writeWaits.load(), 0) << "the sender never found the buffer full";
    EXPECT_FALSE(stillConnected.load());
    EXPECT_EQ(secondRead.load(), kErrNotConnected);
    EXPECT_TRUE(AssertRecorder::Instance().Take().empty());
}

TEST(SocketStream, ReadGivesWhatIsThereThenTheOrderlyEnd) {
    Connection connection;
    ASSERT_TRUE(connection.fMade);
    TestSocket& socket = *connection.fSocket;
    char buffer[64];
    uint32_t count = 99;
    EXPECT_EQ(socket.Read(buffer, sizeof(buffer), &count), EAGAIN);  // nothing yet
    EXPECT_EQ(count, 99u);
    EXPECT_TRUE(socket.IsConnected());

    ASSERT_TRUE(connection.PeerSend("hello"));
    Platform::CloseSocket(connection.fPeer);
    connection.fPeer = Platform::kInvalidSocket;
    socket.ArmEvent(kWatchRead);
    ASSERT_TRUE(WaitUntil([&] { return connection.fTask.fRuns.load() > 0; }));
    ASSERT_EQ(socket.Read(buffer, sizeof(buffer), &count), 0);
    EXPECT_EQ(std::string(buffer, count), "hello");
    EXPECT_EQ(socket.Read(buffer, sizeof(buffer), &count), kErrNotConnected);
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_EQ(socket.Read(buffer, sizeof(buffer), &count), kErrNotConnected);
}

// A receive of no bytes is what the platform also reports for a peer's close: asking for
// none must not end a healthy connection.
TEST(SocketStream, AZeroSizeReadReadsNothingAndKeepsTheConnection) {
    Connection connection;
    ASSERT_TRUE(connection.fMade);
    TestSocket& socket = *connection.fSocket;
    ASSERT_TRUE(connection.PeerSend("data"));
    char buffer[8];
    uint32_t count = 99;
    EXPECT_EQ(socket.Read(buffer, 0, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(socket.IsConnected());
    ASSERT_TRUE(WaitUntil([&] { return socket.Read(buffer, sizeof(buffer), &count) == 0; }));
    EXPECT_EQ(std::string(buffer, count), "data");
}

TEST(SocketStream, SendVectorGathersInOrderAndMayOmitTheCount) {
    Connection connection;
    ASSERT_TRUE(connection.fMade);
    char a[] = "first,", b[] = "", c[] = "second";
    const SocketBuffer buffers[3] = {{6, a}, {0, b}, {6, c}};
    uint32_t count = 0;
    ASSERT_EQ(connection.fSocket->SendVector(buffers, 3, &count), 0);
    EXPECT_EQ(count, 12u);
    ASSERT_EQ(connection.fSocket->SendVector(buffers, 1, nullptr), 0);
    ASSERT_EQ(connection.fSocket->Send("!", 1, &count), 0);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(connection.PeerReceive(19), "first,secondfirst,!");
}

// ---- The connected state -----------------------------------------------------------------

TEST(SocketConnectedState, WithoutTheFlagTransfersFailWithoutTouchingTheConnection) {
    Connection connection(Socket::kSocketNonBlocking);
    ASSERT_TRUE(connection.fMade);
    TestSocket& socket = *connection.fSocket;
    uint32_t count = 77;
    EXPECT_EQ(socket.Send("abc", 3, &count), kErrNotConnected);
    char data[] = "abc";
    const SocketBuffer buffer = {3, data};
    EXPECT_EQ(socket.SendVector(&buffer, 1, &count), kErrNotConnected);
    EXPECT_EQ(count, 77u);

    // Data waiting for the socket stays there: Read did not take it.
    ASSERT_TRUE(connection.PeerSend("xyz"));
    char received[8];
    EXPECT_EQ(socket.Read(received, sizeof(received), &count), kErrNotConnected);
    int32_t got = -1;
    ASSERT_TRUE(WaitUntil([&] {
        got = Platform::ReceiveSocket(socket.GetSocketFD(), received, sizeof(received));
        return got > 0;
    }));
    EXPECT_EQ(std::string(received, size_t(got)), "xyz");

    // And the peer got nothing: the first thing it reads is what is sent once connected.
    socket.MarkConnected();
    ASSERT_EQ(socket.Send("ok", 2, &count), 0);
    EXPECT_EQ(connection.PeerReceive(2), "ok");
}

TEST(SocketConnectedState, ResetByPeerGivesEpipeAndClearsTheFlag) {
    Connection connection;
    ASSERT_TRUE(connection.fMade);
    ASSERT_TRUE(connection.PeerResets());
    uint32_t count = 0;
    EXPECT_EQ(connection.fSocket->Send("x", 1, &count), kEpipe);
    EXPECT_FALSE(connection.fSocket->IsConnected());
    EXPECT_EQ(connection.fSocket->Send("x", 1, &count), kErrNotConnected);
}

// Once the reset has been taken, a send on the broken connection is the kind that raises
// a broken-pipe signal on POSIX unless it is suppressed: the process must survive it and
// get the error.
TEST(SocketConnectedState, SendingOnABrokenConnectionRaisesNoSignal) {
    Connection connection;
    ASSERT_TRUE(connection.fMade);
    TestSocket& socket = *connection.fSocket;
    ASSERT_TRUE(connection.PeerResets());
    char buffer[16];
    uint32_t count = 0;
    // The reset itself, or under an emulation that has already taken it, the end.
    const int32_t readResult = socket.Read(buffer, sizeof(buffer), &count);
    EXPECT_TRUE(readResult == kEpipe || readResult == kErrNotConnected) << readResult;
    EXPECT_FALSE(socket.IsConnected());

    socket.MarkConnected();
    EXPECT_EQ(socket.Send("x", 1, &count), kEpipe);
    EXPECT_FALSE(socket.IsConnected());
    socket.MarkConnected();
    char data[] = "yz";
    const SocketBuffer buffers[1] = {{2, data}};
    EXPECT_EQ(socket.SendVector(buffers, 1, &count), kEpipe);
    EXPECT_FALSE(socket.IsConnected());
}

TEST(SocketConnectedState, FullBufferGivesEagainAndWriteArmingSignalsOnceThePeerDrains) {
    Connection connection;
    ASSERT_TRUE(connection.fMade);
    TestSocket& socket = *connection.fSocket;
    const int32_t small = 4096;
    Platform::SetSocketOption(connection.fPeer, Platform::SocketOption::kReceiveBufferSize, &small,
                              sizeof(small));
    socket.SetSendBufferSize(8192);

    std::vector<char> chunk(64 * 1024, 'f');
    uint64_t accepted = 0;
    int32_t result = 0;
    while (accepted < (64u << 20)) {  // never more than this, whatever the buffers
        uint32_t count = 0;
        result = socket.Send(chunk.data(), uint32_t(chunk.size()), &count);
        if (result != 0) break;
        accepted += count;
    }
    ASSERT_EQ(result, EAGAIN) << "after " << accepted << " bytes";
    EXPECT_TRUE(socket.IsConnected());

    socket.ArmEvent(kWatchWrite);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(connection.fTask.fRuns.load(), 0) << "signalled while the buffer was full";

    EXPECT_EQ(connection.PeerReceive(accepted).size(), accepted);
    EXPECT_TRUE(WaitUntil([&] { return connection.fTask.fRuns.load() == 1; }));
    uint32_t count = 0;
    EXPECT_EQ(socket.Send("more", 4, &count), 0);
    EXPECT_EQ(connection.PeerReceive(4), "more");
}

// ---- Opening, binding and the local texts ------------------------------------------------

TEST(SocketOpen, OpeningTwiceAssertsAndKeepsTheHandle) {
    Socket socket(nullptr, 0);
    ASSERT_EQ(socket.Open(Socket::kStreamType), 0);
    const int32_t handle = socket.GetSocketFD();
    EXPECT_NE(handle, -1);
    AssertRecorder::Instance().Take();
    EXPECT_EQ(socket.Open(Socket::kStreamType), 0);
    EXPECT_EQ(AssertRecorder::Instance().Take(), std::vector<std::string>{"_Assert: Socket, 86"});
    EXPECT_EQ(socket.GetSocketFD(), handle);
}

TEST(SocketOpen, AnUnknownTypeFailsAndLeavesNoHandle) {
    Socket socket(nullptr, 0);
    EXPECT_NE(socket.Open(77), 0);
    EXPECT_EQ(socket.GetSocketFD(), -1);
    EXPECT_EQ(socket.Open(Socket::kDatagramType), 0);  // a later Open is no second Open
    EXPECT_TRUE(AssertRecorder::Instance().Take().empty());
}

TEST(SocketBind, AnyAddressAndPortFillsTheChosenPort) {
    Socket socket(nullptr, 0);
    ASSERT_EQ(socket.Open(Socket::kStreamType), 0);
    ASSERT_EQ(socket.Bind(0, 0), 0);
    EXPECT_TRUE(socket.GetFlags() & Socket::kSocketBound);
    const uint16_t port = PortOf(socket.GetSocketFD());
    EXPECT_NE(port, 0);
    EXPECT_EQ(socket.GetLocalPort(), port);
    EXPECT_EQ(socket.GetLocalAddress(), 0u);
    EXPECT_EQ(Text(socket.LocalPortString()), std::to_string(port));
    EXPECT_EQ(socket.LocalPortString(), socket.LocalPortString());
}

TEST(SocketBind, PortTextFormattedBeforeBindStaysZero) {
    Socket socket(nullptr, 0);
    ASSERT_EQ(socket.Open(Socket::kStreamType), 0);
    EXPECT_EQ(Text(socket.LocalPortString()), "0");
    ASSERT_EQ(socket.Bind(kLoopbackAddress, 0), 0);
    EXPECT_NE(socket.GetLocalPort(), 0);
    EXPECT_EQ(Text(socket.LocalPortString()), "0");
}

TEST(SocketBind, FailureLeavesTheSocketUnbound) {
    Socket first(nullptr, 0), second(nullptr, 0);
    ASSERT_EQ(first.Open(Socket::kStreamType), 0);
    ASSERT_EQ(first.Bind(kLoopbackAddress, 0), 0);
    ASSERT_EQ(second.Open(Socket::kStreamType), 0);
    EXPECT_EQ(second.Bind(kLoopbackAddress, first.GetLocalPort()), kErrAddressInUse);
    EXPECT_FALSE(second.GetFlags() & Socket::kSocketBound);
    EXPECT_EQ(second.GetLocalPort(), 0);
    EXPECT_EQ(second.GetLocalAddress(), 0u);
    // An address that belongs to no interface (a documentation range).
    EXPECT_EQ(second.Bind(0xCB007101, 0), kErrAddressNotAvailable);
    EXPECT_EQ(second.GetLocalAddress(), 0u);
}

// The interface table index holding the address, or the count when none does.
uint32_t IndexOf(uint32_t address) {
    uint32_t i = 0;
    while (i < SocketUtils::GetInterfaceCount() && SocketUtils::GetInterfaceAddress(i) != address)
        ++i;
    return i;
}

TEST(SocketLocalTexts, LoopbackTextsPointIntoTheInterfaceTableAndAreKept) {
    const uint32_t index = IndexOf(kLoopbackAddress);
    ASSERT_LT(index, SocketUtils::GetInterfaceCount());
    Socket socket(nullptr, 0);
    ASSERT_EQ(socket.Open(Socket::kDatagramType), 0);
    ASSERT_EQ(socket.Bind(kLoopbackAddress, 0), 0);
    StrPtrLen* address = socket.LocalAddressString();
    StrPtrLen* name = socket.LocalHostNameString();
    EXPECT_EQ(address, SocketUtils::GetInterfaceAddressText(index));
    EXPECT_EQ(name, SocketUtils::GetInterfaceHostName(index));
    EXPECT_EQ(Text(address), "127.0.0.1");
    EXPECT_EQ(Text(name), "127.0.0.1");  // names are not looked up here
    EXPECT_EQ(socket.LocalAddressString(), address);
    EXPECT_EQ(socket.LocalHostNameString(), name);
    EXPECT_TRUE(AssertRecorder::Instance().Take().empty());
}

TEST(SocketLocalTexts, AnyAddressMatchesNoInterface) {
    Socket socket(nullptr, 0);
    ASSERT_EQ(socket.Open(Socket::kDatagramType), 0);
    ASSERT_EQ(socket.Bind(0, 0), 0);
    AssertRecorder::Instance().Take();
    EXPECT_EQ(socket.LocalAddressString(), nullptr);
    EXPECT_EQ(AssertRecorder::Instance().Take(), std::vector<std::string>{"_Assert: Socket, 241"});
    EXPECT_EQ(socket.LocalHostNameString(), nullptr);
    // The host-name search falls back on the address text, which asserts too.
    EXPECT_EQ(AssertRecorder::Instance().Take(),
              (std::vector<std::string>{"_Assert: Socket, 248", "_Assert: Socket, 241",
                                        "_Assert: Socket, 265"}));
}

std::vector<uint32_t> sLongList;
Platform::InterfaceListStatus LongList(std::vector<uint32_t>* addresses) {
    *addresses = sLongList;
    return Platform::InterfaceListStatus::kListed;
}

// A host with more addresses than one small list buffer holds still finds the one a socket
// is bound to, however far down the list it is; and a socket's texts, once found, stay
// those of the table it found them in.
TEST(SocketLocalTexts, AddressFarDownALongListIsFoundAndKept) {
    sLongList.clear();
    for (uint32_t i = 0; i < 40; ++i)
        sLongList.push_back(Platform::HostToNetwork32(0x0A000001 + i));  // 10.0.0.1 on
    sLongList.push_back(Platform::HostToNetwork32(kLoopbackAddress));
    const auto previous = SocketUtils::SetInterfaceSource({LongList, Platform::LookUpHostName});
    SocketUtils::LoadInterfaces(false);
    SocketUtils::SetInterfaceSource(previous);

    Socket socket(nullptr, 0);
    ASSERT_EQ(socket.Open(Socket::kDatagramType), 0);
    ASSERT_EQ(socket.Bind(kLoopbackAddress, 0), 0);
    StrPtrLen* address = socket.LocalAddressString();
    EXPECT_EQ(address, SocketUtils::GetInterfaceAddressText(40));

    SocketUtils::LoadInterfaces(false);  // the machine's table again, in a new array
    EXPECT_EQ(socket.LocalAddressString(), address);
    ASSERT_NE(address, nullptr);
    EXPECT_EQ(Text(address), "127.0.0.1");
    EXPECT_TRUE(AssertRecorder::Instance().Take().empty());
}

// ---- Options ------------------------------------------------------------------------------

int32_t IntOption(int32_t handle, Platform::SocketOption option) {
    int32_t value = 0;
    uint32_t length = sizeof(value);
    if (Platform::GetSocketOption(handle, option, &value, &length) != 0) return -1;
    return value;
}

TEST(SocketOptions, SettersTakeEffect) {
    Socket socket(nullptr, 0);
    ASSERT_EQ(socket.Open(Socket::kStreamType), 0);
    const int32_t handle = socket.GetSocketFD();
    socket.SetReuseAddress();
    socket.SetNoDelay();
    socket.SetKeepAlive();
    socket.SetSendBufferSize(100000);
    EXPECT_EQ(socket.SetReceiveBufferSize(120000), 0);
    EXPECT_NE(IntOption(handle, Platform::SocketOption::kReuseAddress), 0);
    EXPECT_NE(IntOption(handle, Platform::SocketOption::kNoDelay), 0);
    EXPECT_NE(IntOption(handle, Platform::SocketOption::kKeepAlive), 0);
    EXPECT_GE(IntOption(handle, Platform::SocketOption::kSendBufferSize), 100000);
    EXPECT_GE(IntOption(handle, Platform::SocketOption::kReceiveBufferSize), 120000);
    EXPECT_TRUE(AssertRecorder::Instance().Take().empty());
}

TEST(SocketOptions, FailuresAssertExceptTheReceiveBufferWhichReturnsTheError) {
    Socket socket(nullptr, 0);  // no handle: every option call fails
    socket.SetReuseAddress();
    socket.SetNoDelay();
    socket.SetKeepAlive();
    socket.SetSendBufferSize(4096);
    EXPECT_EQ(AssertRecorder::Instance().Take(),
              (std::vector<std::string>{"_Assert: Socket, 103", "_Assert: Socket, 110",
                                        "_Assert: Socket, 117", "_AssertV: Socket, 131 (1002)"}));
    EXPECT_EQ(socket.SetReceiveBufferSize(4096), kErrNotConnected);
    EXPECT_TRUE(AssertRecorder::Instance().Take().empty());
}

// ---- Programming errors ------------------------------------------------------------------

TEST(SocketArguments, NullArgumentsAreReportedAndNothingCrashes) {
    Connection connection;
    ASSERT_TRUE(connection.fMade);
    TestSocket& socket = *connection.fSocket;
    AssertRecorder::Instance().Take();
    uint32_t count = 0;

    // A missing count is not needed to send: the bytes go out.
    EXPECT_EQ(socket.Send("abc", 3, nullptr), 0);
    EXPECT_EQ(connection.PeerReceive(3), "abc");
    EXPECT_TRUE(AssertRecorder::Instance().Take().empty());

    // Without a count a read would lose what it took: nothing is read.
    ASSERT_TRUE(connection.PeerSend("def"));
    char buffer[8];
    EXPECT_EQ(socket.Read(buffer, sizeof(buffer), nullptr), kErrNotConnected);
    EXPECT_EQ(AssertRecorder::Instance().Take(), std::vector<std::string>{"_Assert: Socket, 340"});
    EXPECT_TRUE(socket.IsConnected());
    ASSERT_TRUE(WaitUntil([&] { return socket.Read(buffer, sizeof(buffer), &count) == 0; }));
    EXPECT_EQ(std::string(buffer, count), "def");

    // Null data: reported, and the platform refuses the transfer.
    EXPECT_NE(socket.Send(nullptr, 4, &count), 0);
    EXPECT_EQ(AssertRecorder::Instance().Take(), std::vector<std::string>{"_Assert: Socket, 282"});
    socket.MarkConnected();
    EXPECT_NE(socket.SendVector(nullptr, 2, &count), 0);
    EXPECT_EQ(AssertRecorder::Instance().Take(), std::vector<std::string>{"_Assert: Socket, 307"});
    socket.MarkConnected();
    socket.Read(nullptr, 16, &count);
    EXPECT_EQ(AssertRecorder::Instance().Take(), std::vector<std::string>{"_Assert: Socket, 341"});
}

}  // namespace
