// Stream sockets through the real event loop and task threads.
#include <gtest/gtest.h>

#include <atomic>
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
using Reports = std::vector<std::string>;

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

// A few megabytes from a task to the test's peer: the task alternates Send and a
// three-piece SendVector in chunks of varied size and arms for writing when the buffer is
// full. The peer reads only once the stream has stalled, so that write arming is seen to
// wait for room. At the end the task closes.
TEST(SocketStream, ALargeStreamArrivesWholeThroughPartialGatheredAndWaitingSends) {
    const std::string pattern = PatternBytes(4u << 20, 7);
    StreamPair pair;
    ASSERT_TRUE(pair.fMade);
    Socket& sender = pair.fSocket;
    sender.SetSendBufferSize(64 * 1024);
    const int32_t small = 64 * 1024;
    Platform::SetSocketOption(pair.fPeer.Handle(), Platform::SocketOption::kReceiveBufferSize,
                              &small, sizeof(small));
    std::atomic<int> writeWaits{0}, partialSends{0}, error{0};
    size_t sent = 0, chunk = 1;
    pair.fTask.fBody = [&](TaskProbe&) -> int64_t {
        for (uint32_t count = 0; sent < pattern.size() && error == 0; sent += count) {
            chunk = std::min(pattern.size() - sent, 1 + (chunk * 7919 + 13) % 70000);
            char* data = const_cast<char*>(&pattern[sent]);
            const uint32_t first = uint32_t(chunk / 3), second = uint32_t(chunk / 7);
            const SocketBuffer pieces[3] = {
                {first, data},  // the middle one may be empty
                {second, data + first},
                {uint32_t(chunk) - first - second, data + first + second}};
            const int32_t result = sent % 2 == 0 ? sender.Send(data, uint32_t(chunk), &count)
                                                 : sender.SendVector(pieces, 3, &count);
            if (result == EAGAIN) {
                writeWaits.fetch_add(1);
                sender.ArmEvent(kWatchWrite);
                return 0;
            }
            error = result;
            if (count < chunk) partialSends.fetch_add(1);
        }
        sender.Dispose();  // the orderly end the peer should see
        return 0;
    };
    pair.fTask.Signal(Task::kReadEvent);
    const auto settled = [&] {  // no run of the sender for a while
        const int runs = pair.fTask.fRuns.load();
        return StaysFalseFor([&] { return pair.fTask.fRuns.load() != runs; }, 200ms);
    };
    ASSERT_TRUE(WaitUntil([&] { return writeWaits.load() > 0; }));
    EXPECT_TRUE(WaitUntil(settled, 5s)) << "signalled for writing without room, over and over";
    std::string received;
    EXPECT_TRUE(pair.fPeer.ReceiveUntilClosed(&received, 60s));
    // The task's last run, which closed the socket, has returned before the test's end.
    ASSERT_TRUE(WaitUntil([&] { return pair.fTask.GetEvents() == 0; }));
    EXPECT_TRUE(received == pattern) << received.size() << " bytes received";
    EXPECT_EQ(error.load(), 0);
    EXPECT_GT(writeWaits.load(), 1);
    EXPECT_GT(partialSends.load(), 0) << "no send was ever cut short";
}

TEST(SocketStream, ReadGivesWhatIsThereThenTheEndAndAReadOfNothingReadsNothing) {
    StreamPair pair;
    ASSERT_TRUE(pair.fMade);
    char buffer[64];
    uint32_t count = 99;
    EXPECT_EQ(pair.fSocket.Read(buffer, sizeof(buffer), &count), EAGAIN);
    ASSERT_TRUE(pair.fPeer.SendAll("hello"));
    pair.fPeer.Close();
    ASSERT_TRUE(pair.WaitReadable());
    // The platform answers a receive of nothing as it answers the end: it must not be asked.
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
    char data[] = "yz";
    const SocketBuffer buffers[1] = {{2, data}};
    for (int i = 0; i < 3; ++i, pair.fSocket.MarkConnected()) {
        EXPECT_EQ(i < 2 ? pair.fSocket.Send("x", 1, nullptr)
                        : pair.fSocket.SendVector(buffers, 1, nullptr),
                  EPIPE);
        EXPECT_EQ(pair.fSocket.Send("x", 1, nullptr), kErrNotConnected);
    }
}

TEST(SocketBind, TheChosenPortIsReadBackItsTextFormattedOnceAndFailuresLeaveNoAddress) {
    Socket early(nullptr, 0), late(nullptr, 0), unknown(nullptr, 0);
    ASSERT_EQ(early.Open(Socket::kStreamType), 0);
    const int32_t handle = early.GetSocketFD();
    ReportedAsserts reported;
    EXPECT_EQ(early.Open(Socket::kStreamType), 0);
    EXPECT_EQ(reported.Take(), Reports{AssertText("Socket", 86)});
    EXPECT_EQ(early.GetSocketFD(), handle) << "a second Open replaced the handle";
    EXPECT_EQ(Text(early.LocalPortString()), "0");
    ASSERT_EQ(early.Bind(0, 0), 0);
    EXPECT_TRUE(early.GetFlags() & Socket::kSocketBound);
    EXPECT_EQ(early.GetLocalPort(), PortOf(handle));
    EXPECT_EQ(Text(early.LocalPortString()), "0");  // formatted before the bind, and kept
    ASSERT_EQ(late.Open(Socket::kStreamType), 0);
    ASSERT_EQ(late.Bind(kLoopbackAddress, 0), 0);
    EXPECT_EQ(Text(late.LocalPortString()), std::to_string(PortOf(late.GetSocketFD())));
    EXPECT_NE(unknown.Open(77), 0);
    EXPECT_EQ(unknown.GetSocketFD(), -1);
    for (const auto& [address, port, expected] :
         {std::tuple{kLoopbackAddress, late.GetLocalPort(), kErrAddressInUse},
          std::tuple{kDocumentationAddress, uint16_t(0), kErrAddressNotAvailable}}) {
        Socket socket(nullptr, 0);
        ASSERT_EQ(socket.Open(Socket::kStreamType), 0);
        EXPECT_EQ(socket.Bind(address, port), expected);
        EXPECT_FALSE(socket.GetFlags() & Socket::kSocketBound);
        EXPECT_EQ(socket.GetLocalPort() + socket.GetLocalAddress(), 0u);
    }
}

TEST(SocketLocalTexts, FoundOnceInTheInterfaceTableOrNullWithAReport) {
    uint32_t index = 0;
    while (index < SocketUtils::GetInterfaceCount() &&
           SocketUtils::GetInterfaceAddress(index) != kLoopbackAddress)
        ++index;
    Socket bound(nullptr, 0), any(nullptr, 0);
    ASSERT_TRUE(bound.Open(Socket::kDatagramType) == 0 && bound.Bind(kLoopbackAddress, 0) == 0);
    ASSERT_TRUE(any.Open(Socket::kDatagramType) == 0 && any.Bind(0, 0) == 0);
    ReportedAsserts reported;
    EXPECT_EQ(Text(bound.LocalAddressString()), "127.0.0.1");
    EXPECT_EQ(bound.LocalAddressString(), SocketUtils::GetInterfaceAddressText(index));
    EXPECT_EQ(bound.LocalHostNameString(), SocketUtils::GetInterfaceHostName(index));
    EXPECT_TRUE(reported.Take().empty());
    EXPECT_EQ(any.LocalAddressString(), nullptr);
    EXPECT_EQ(reported.Take(), Reports{AssertText("Socket", 241)});
    EXPECT_EQ(any.LocalHostNameString(), nullptr);  // falls back on the address text
    EXPECT_EQ(reported.Take(), (Reports{AssertText("Socket", 248), AssertText("Socket", 241),
                                        AssertText("Socket", 265)}));
}

// Without a handle every call fails: reported as promised.
TEST(SocketOptions, FailuresAreReportedByAssertionOrByTheResult) {
    Socket closed(nullptr, 0);
    ReportedAsserts reported;
    closed.SetReuseAddress();
    closed.SetNoDelay();
    closed.SetKeepAlive();
    closed.SetSendBufferSize(4096);
    EXPECT_EQ(reported.Take(),
              (Reports{AssertText("Socket", 103), AssertText("Socket", 110),
                       AssertText("Socket", 117), AssertText("Socket", 131, kErrNotConnected)}));
    EXPECT_EQ(closed.SetReceiveBufferSize(4096), kErrNotConnected);
    EXPECT_TRUE(reported.Take().empty());
}

TEST(SocketArguments, NullArgumentsAreReportedAndCostNeitherDataNorTheConnection) {
    StreamPair pair;
    ASSERT_TRUE(pair.fMade && pair.fPeer.SendAll("def") && pair.WaitReadable());
    Socket& socket = pair.fSocket;
    char buffer[8], abc[] = "abc";
    const SocketBuffer buffers[1] = {{3, abc}};
    uint32_t count = 0;
    const std::tuple<std::function<int32_t()>, int32_t, Reports> cases[] = {
        {[&] { return socket.Send("abc", 3, nullptr); }, 0, {}},  // the count is optional
        {[&] { return socket.SendVector(buffers, 1, nullptr); }, 0, {}},
        {[&] { return socket.Send(nullptr, 4, &count); },
         kErrNotConnected,
         {AssertText("Socket", 282)}},
        {[&] { return socket.SendVector(nullptr, 2, &count); },
         kErrNotConnected,
         {AssertText("Socket", 307)}},
        {[&] { return socket.Read(buffer, 8, nullptr); },
         kErrNotConnected,
         {AssertText("Socket", 340)}},
        {[&] { return socket.Read(nullptr, 8, &count); },
         kErrNotConnected,
         {AssertText("Socket", 341)}},
    };
    for (const auto& [call, result, report] : cases) {
        ReportedAsserts reported;
        EXPECT_EQ(call(), result);
        EXPECT_EQ(reported.Take(), report);
        EXPECT_TRUE(socket.IsConnected());
    }
    ASSERT_EQ(socket.Read(buffer, sizeof(buffer), &count), 0);
    EXPECT_EQ(std::string(buffer, count), "def");
    std::string received;
    EXPECT_TRUE(pair.fPeer.ReceiveExactly(6, &received) && received == "abcabc") << received;
}

}  // namespace
