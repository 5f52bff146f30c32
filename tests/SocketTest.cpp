// Stream sockets through the real event loop and task threads: a large transfer through
// partial and gathered sends with write arming, the connected state across the peer's end
// and reset, opening and binding, the cached local texts, option setters and the
// published assertions.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "Socket.h"
#include "SocketUtils.h"
#include "support/Loopback.h"
#include "support/RuntimeEnvironment.h"
#include "support/StreamPeer.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

constexpr uint32_t kConnectedNonBlocking = Socket::kSocketConnected | Socket::kSocketNonBlocking;

// Streams a few megabytes from one task to another: the sender alternates Send and a
// three-piece SendVector in chunks of varied size and arms for writing when the buffer is
// full. The receiver starts only once the stream has stalled, so that the sender's write
// arming is seen to wait for room. At the end the sender closes.
TEST(SocketStream, ALargeStreamArrivesWholeThroughPartialGatheredAndWaitingSends) {
    constexpr uint64_t kTotal = 4u << 20;
    std::string pattern = PatternBytes(kTotal, 7);
    Platform::SocketHandle senderHandle, receiverHandle;
    ASSERT_TRUE(MakeStreamPair(&senderHandle, &receiverHandle));
    TaskProbe senderTask, receiverTask;
    Socket sender(&senderTask, kConnectedNonBlocking),
        receiver(&receiverTask, kConnectedNonBlocking);
    sender.SetNonBlocking(senderHandle);
    receiver.SetNonBlocking(receiverHandle);
    sender.SetSendBufferSize(64 * 1024);
    ASSERT_EQ(receiver.SetReceiveBufferSize(64 * 1024), 0);

    std::atomic<uint64_t> sent{0}, received{0}, firstMismatch{kTotal};
    std::atomic<int> writeWaits{0}, partialSends{0}, error{0};
    std::atomic<bool> ended{false};
    uint32_t seed = 12345;
    senderTask.fBody = [&](TaskProbe&) -> int64_t {
        while (sent.load() < kTotal) {
            const uint64_t offset = sent.load();
            seed = seed * 1103515245 + 12345;
            const uint32_t chunk =
                uint32_t(std::min<uint64_t>(1 + (seed >> 8) % 70000, kTotal - offset));
            char* data = pattern.data() + offset;
            uint32_t count = 0;
            int32_t result;
            if (offset % 2 == 0) {
                result = sender.Send(data, chunk, &count);
            } else {  // the middle piece may be empty
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
                error = result;
                return 0;
            }
            if (count < chunk) partialSends.fetch_add(1);
            sent = offset + count;
        }
        sender.Dispose();  // the orderly end the receiver should see
        return 0;
    };
    receiverTask.fBody = [&](TaskProbe&) -> int64_t {
        char buffer[24 * 1024];
        uint32_t count = 0;
        while (!ended) {
            const int32_t result = receiver.Read(buffer, sizeof(buffer), &count);
            if (result == EAGAIN) {
                receiver.ArmEvent(kWatchRead);
                return 0;
            }
            if (result != 0) {
                if (result != kErrNotConnected) error = result;
                ended = true;
                return 0;
            }
            const uint64_t base = received.load();
            for (uint32_t i = 0; i < count && firstMismatch == kTotal; ++i)
                if (base + i >= kTotal || buffer[i] != pattern[base + i]) firstMismatch = base + i;
            received = base + count;
        }
        return 0;
    };

    senderTask.Signal(Task::kReadEvent);
    // Once the receiver's buffers are full too, the sender armed for writing waits for room:
    // its runs stop.
    const auto settled = [&] {
        const int runs = senderTask.fRuns.load();
        return StaysFalseFor([&] { return senderTask.fRuns.load() != runs; }, 200ms);
    };
    ASSERT_TRUE(WaitUntil([&] { return writeWaits.load() > 0; }));
    EXPECT_TRUE(WaitUntil(settled, 5s)) << "signalled for writing without room, over and over";
    receiver.ArmEvent(kWatchRead);
    ASSERT_TRUE(WaitUntil([&] { return ended.load(); }, 60s))
        << "sent " << sent.load() << ", received " << received.load();
    ASSERT_TRUE(
        WaitUntil([&] { return senderTask.GetEvents() == 0 && receiverTask.GetEvents() == 0; }));
    EXPECT_EQ(error.load(), 0);
    EXPECT_EQ(received.load(), kTotal);
    EXPECT_EQ(firstMismatch.load(), kTotal) << "first wrong byte";
    EXPECT_GT(writeWaits.load(), 1);
    EXPECT_GT(partialSends.load(), 0) << "no send was ever cut short";
    EXPECT_FALSE(receiver.IsConnected());
    EXPECT_TRUE(AssertRecorder::Instance().Take().empty());
}

TEST(SocketStream, ReadGivesWhatIsThereThenTheEndAndNothingAfter) {
    StreamPair pair;
    ASSERT_TRUE(pair.fMade);
    char buffer[64];
    uint32_t count = 99;
    EXPECT_EQ(pair.fSocket.Read(buffer, sizeof(buffer), &count), EAGAIN);
    EXPECT_EQ(count, 99u);
    ASSERT_TRUE(pair.fPeer.SendAll("hello"));
    pair.fPeer.Close();
    ASSERT_TRUE(pair.WaitReadable());
    // Asking for nothing reads nothing: the platform answers it as it answers the end.
    EXPECT_EQ(pair.fSocket.Read(buffer, 0, &count), 0);
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(pair.fSocket.Read(buffer, sizeof(buffer), &count), 0);
    EXPECT_EQ(std::string(buffer, count), "hello");
    EXPECT_EQ(pair.fSocket.Read(buffer, sizeof(buffer), &count), kErrNotConnected);
    EXPECT_FALSE(pair.fSocket.IsConnected());
    EXPECT_EQ(pair.fSocket.Read(buffer, sizeof(buffer), &count), kErrNotConnected);
}

// Sends after the reset has been taken are those that raise a broken-pipe signal on POSIX
// unless it is suppressed: the process must survive them and get the error.
TEST(SocketStream, ResetByThePeerGivesEpipeAndNoSignal) {
    StreamPair pair;
    ASSERT_TRUE(pair.fMade);
    pair.fPeer.CloseWithReset();
    ASSERT_TRUE(pair.WaitReadable());
    uint32_t count = 0;
    EXPECT_EQ(pair.fSocket.Send("x", 1, &count), EPIPE);
    EXPECT_FALSE(pair.fSocket.IsConnected());
    EXPECT_EQ(pair.fSocket.Send("x", 1, &count), kErrNotConnected);
    pair.fSocket.MarkConnected();
    EXPECT_EQ(pair.fSocket.Send("x", 1, &count), EPIPE);
    pair.fSocket.MarkConnected();
    char data[] = "yz";
    const SocketBuffer buffers[1] = {{2, data}};
    EXPECT_EQ(pair.fSocket.SendVector(buffers, 1, &count), EPIPE);
    EXPECT_FALSE(pair.fSocket.IsConnected());
}

// ---- Opening, binding and the local texts ------------------------------------------------

TEST(SocketBind, TheChosenPortIsReadBackAndItsTextFormattedOnce) {
    Socket early(nullptr, 0), late(nullptr, 0);
    ASSERT_EQ(early.Open(Socket::kStreamType), 0);
    const int32_t handle = early.GetSocketFD();
    ReportedAsserts reported;
    EXPECT_EQ(early.Open(Socket::kStreamType), 0);
    EXPECT_EQ(reported.Take(), std::vector<std::string>{AssertText("Socket", 86)});
    EXPECT_EQ(early.GetSocketFD(), handle) << "a second Open replaced the handle";

    EXPECT_EQ(Text(early.LocalPortString()), "0");
    ASSERT_EQ(early.Bind(0, 0), 0);
    EXPECT_TRUE(early.GetFlags() & Socket::kSocketBound);
    EXPECT_EQ(early.GetLocalPort(), PortOf(handle));
    EXPECT_NE(early.GetLocalPort(), 0);
    EXPECT_EQ(Text(early.LocalPortString()), "0");  // formatted before the bind, and kept

    ASSERT_EQ(late.Open(Socket::kStreamType), 0);
    ASSERT_EQ(late.Bind(kLoopbackAddress, 0), 0);
    EXPECT_EQ(Text(late.LocalPortString()), std::to_string(PortOf(late.GetSocketFD())));
}

TEST(SocketBind, FailuresLeaveTheSocketWithoutHandleOrAddress) {
    const HeldSocket taken = TakenListener();
    const struct {
        const char* fWhat;
        int32_t fType;
        uint32_t fAddress;
        uint16_t fPort;
        int32_t fOpenResult;  // -1: any error
        int32_t fBindResult;
    } cases[] = {
        {"unknown type", 77, 0, 0, -1, 0},
        {"port in use", Socket::kStreamType, kLoopbackAddress, taken.Port(), 0, kErrAddressInUse},
        {"address of no interface", Socket::kStreamType, kDocumentationAddress, 0, 0,
         kErrAddressNotAvailable},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.fWhat);
        Socket socket(nullptr, 0);
        const int32_t opened = socket.Open(test.fType);
        if (test.fOpenResult == -1) {
            EXPECT_NE(opened, 0);
            EXPECT_EQ(socket.GetSocketFD(), -1);
            continue;
        }
        ASSERT_EQ(opened, 0);
        EXPECT_EQ(socket.Bind(test.fAddress, test.fPort), test.fBindResult);
        EXPECT_FALSE(socket.GetFlags() & Socket::kSocketBound);
        EXPECT_EQ(socket.GetLocalPort(), 0);
        EXPECT_EQ(socket.GetLocalAddress(), 0u);
    }
}

Platform::InterfaceListStatus ListWithoutLoopback(std::vector<uint32_t>* addresses) {
    *addresses = {Platform::HostToNetwork32(0x0A000001)};
    return Platform::InterfaceListStatus::kListed;
}

TEST(SocketLocalTexts, FoundOnceInTheInterfaceTableAndKept) {
    uint32_t index = 0;
    while (index < SocketUtils::GetInterfaceCount() &&
           SocketUtils::GetInterfaceAddress(index) != kLoopbackAddress)
        ++index;
    ASSERT_LT(index, SocketUtils::GetInterfaceCount());
    Socket socket(nullptr, 0);
    ASSERT_EQ(socket.Open(Socket::kDatagramType), 0);
    ASSERT_EQ(socket.Bind(kLoopbackAddress, 0), 0);
    ReportedAsserts reported;
    StrPtrLen* address = socket.LocalAddressString();
    StrPtrLen* name = socket.LocalHostNameString();
    EXPECT_EQ(address, SocketUtils::GetInterfaceAddressText(index));
    EXPECT_EQ(name, SocketUtils::GetInterfaceHostName(index));
    EXPECT_EQ(Text(address), "127.0.0.1");
    EXPECT_EQ(Text(name), "127.0.0.1");  // names are not looked up here

    // A table without the address, loaded later, changes nothing for this socket.
    const auto previous = SocketUtils::SetInterfaceSource({ListWithoutLoopback, nullptr});
    SocketUtils::LoadInterfaces(false);
    SocketUtils::SetInterfaceSource(previous);
    EXPECT_EQ(socket.LocalAddressString(), address);
    EXPECT_EQ(socket.LocalHostNameString(), name);
    SocketUtils::LoadInterfaces(false);
    EXPECT_TRUE(reported.Take().empty());
}

TEST(SocketLocalTexts, AnAddressNoInterfaceHasGivesNullAndReports) {
    Socket socket(nullptr, 0);
    ASSERT_EQ(socket.Open(Socket::kDatagramType), 0);
    ASSERT_EQ(socket.Bind(0, 0), 0);
    ReportedAsserts reported;
    EXPECT_EQ(socket.LocalAddressString(), nullptr);
    EXPECT_EQ(reported.Take(), std::vector<std::string>{AssertText("Socket", 241)});
    // The host-name search falls back on the address text, which reports too.
    EXPECT_EQ(socket.LocalHostNameString(), nullptr);
    EXPECT_EQ(reported.Take(),
              (std::vector<std::string>{AssertText("Socket", 248), AssertText("Socket", 241),
                                        AssertText("Socket", 265)}));
}

// ---- Options and programming errors ------------------------------------------------------

// Each setter reaches its own option; a failure is reported as promised (without a handle
// every call fails with the runtime's number for a bad handle).
TEST(SocketOptions, EachSetterChangesItsOptionOrReportsItsFailure) {
    using Option = Platform::SocketOption;
    const struct {
        const char* fWhat;
        std::function<int32_t(Socket&)> fSet;
        Option fOption;
        std::vector<std::string> fFailureReport;
    } cases[] = {
        {"reuse",
         [](Socket& s) { return s.SetReuseAddress(), 0; },
         Option::kReuseAddress,
         {AssertText("Socket", 103)}},
        {"no delay",
         [](Socket& s) { return s.SetNoDelay(), 0; },
         Option::kNoDelay,
         {AssertText("Socket", 110)}},
        {"keep-alive",
         [](Socket& s) { return s.SetKeepAlive(), 0; },
         Option::kKeepAlive,
         {AssertText("Socket", 117)}},
        {"send buffer",
         [](Socket& s) { return s.SetSendBufferSize(100000), 0; },
         Option::kSendBufferSize,
         {AssertText("Socket", 131, kErrNotConnected)}},
        {"receive buffer",
         [](Socket& s) { return s.SetReceiveBufferSize(120000); },
         Option::kReceiveBufferSize,
         {}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.fWhat);
        Socket socket(nullptr, 0);
        ASSERT_EQ(socket.Open(Socket::kStreamType), 0);
        const int32_t before = IntOption(socket.GetSocketFD(), test.fOption);
        ReportedAsserts reported;
        EXPECT_EQ(test.fSet(socket), 0);
        EXPECT_NE(IntOption(socket.GetSocketFD(), test.fOption), before);
        EXPECT_TRUE(reported.Take().empty());

        Socket closed(nullptr, 0);
        const int32_t result = test.fSet(closed);
        EXPECT_EQ(result, test.fFailureReport.empty() ? kErrNotConnected : 0);
        EXPECT_EQ(reported.Take(), test.fFailureReport);
    }
}

TEST(SocketArguments, NullArgumentsAreReportedAndCostNeitherDataNorTheConnection) {
    StreamPair pair;
    ASSERT_TRUE(pair.fMade);
    ASSERT_TRUE(pair.fPeer.SendAll("def"));
    ASSERT_TRUE(pair.WaitReadable());
    Socket& socket = pair.fSocket;
    char buffer[8], abc[] = "abc";
    const SocketBuffer buffers[1] = {{3, abc}};
    uint32_t count = 0;
    const struct {
        const char* fWhat;
        std::function<int32_t()> fCall;
        int32_t fResult;
        std::vector<std::string> fReport;
    } cases[] = {
        {"send without count", [&] { return socket.Send("abc", 3, nullptr); }, 0, {}},
        {"gather without count", [&] { return socket.SendVector(buffers, 1, nullptr); }, 0, {}},
        {"send of null",
         [&] { return socket.Send(nullptr, 4, &count); },
         kErrNotConnected,
         {AssertText("Socket", 282)}},
        {"gather of null",
         [&] { return socket.SendVector(nullptr, 2, &count); },
         kErrNotConnected,
         {AssertText("Socket", 307)}},
        {"read without count",
         [&] { return socket.Read(buffer, sizeof(buffer), nullptr); },
         kErrNotConnected,
         {AssertText("Socket", 340)}},
        {"read into null",
         [&] { return socket.Read(nullptr, 16, &count); },
         kErrNotConnected,
         {AssertText("Socket", 341)}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.fWhat);
        ReportedAsserts reported;
        EXPECT_EQ(test.fCall(), test.fResult);
        EXPECT_EQ(reported.Take(), test.fReport);
        EXPECT_TRUE(socket.IsConnected());
    }
    ASSERT_EQ(socket.Read(buffer, sizeof(buffer), &count), 0);
    EXPECT_EQ(std::string(buffer, count), "def");
    std::string received;
    EXPECT_TRUE(pair.fPeer.ReceiveExactly(6, &received));
    EXPECT_EQ(received, "abcabc");
}

}  // namespace
