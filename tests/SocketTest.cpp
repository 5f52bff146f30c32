// Stream sockets through the real event loop and task threads.

#include "platform/FaultInjection.h"
#include "support/RuntimeEnvironment.h"
#include "support/StreamPeer.h"

namespace {

using Reports = std::vector<std::string>;

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

// One connection through its life. The peer reads only once the stream stalled, so write arming
// waits for room; sends after its reset would raise a broken-pipe signal on POSIX if not
// suppressed.
TEST(SocketStream, SendsPartialGatheredAndWaitingThenThePeersEndThenItsReset) {
    const std::string pattern = PatternBytes(4u << 20, 7);
    StreamPair pair;
    ASSERT_TRUE(pair.fMade);
    ConnectableSocket& socket = pair.fSocket;
    socket.SetSendBufferSize(64 * 1024);
    const int32_t small = 64 * 1024;
    Platform::SetSocketOption(pair.fPeer.Handle(), Platform::SocketOption::kReceiveBufferSize,
                              &small, sizeof(small));
    char buffer[64];
    uint32_t count = 99;
    EXPECT_EQ(socket.Read(buffer, sizeof(buffer), &count), EAGAIN);
    std::atomic<int> writeWaits{0}, partialSends{0}, error{0};
    size_t sent = 0, chunk = 1;
    pair.fTask.fBody = [&](TaskProbe&) -> int64_t {
        for (uint32_t done = 0; sent < pattern.size() && error == 0; sent += done) {
            chunk = std::min(pattern.size() - sent, 1 + (chunk * 7919 + 13) % 70000);
            char* data = const_cast<char*>(&pattern[sent]);
            const uint32_t first = uint32_t(chunk / 3), second = uint32_t(chunk / 7);
            const SocketBuffer pieces[3] = {
                {first, data},
                {second, data + first},  // maybe empty
                {uint32_t(chunk) - first - second, data + first + second}};
            const int32_t result = sent % 2 == 0 ? socket.Send(data, uint32_t(chunk), &done)
                                                 : socket.SendVector(pieces, 3, &done);
            if (result == EAGAIN) {
                writeWaits.fetch_add(1);
                socket.ArmEvent(kWatchWrite);
                return 0;
            }
            error = result;
            if (done < chunk) partialSends.fetch_add(1);
        }
        return 0;
    };
    pair.fTask.Signal(Task::kReadEvent);
    ASSERT_TRUE(WaitUntil([&] { return writeWaits.load() > 0; }));
    std::string received;  // in halves, so that the sender stalls once more after a re-arm
    for (size_t part : {pattern.size() / 2, pattern.size() - pattern.size() / 2}) {
        EXPECT_TRUE(pair.fTask.Settles()) << "signalled for writing without room, over and over";
        EXPECT_TRUE(pair.fPeer.ReceiveExactly(part, &received, 60s));
    }
    ASSERT_TRUE(WaitUntil([&] { return pair.fTask.GetEvents() == 0; }));
    EXPECT_TRUE(received == pattern) << received.size() << " bytes received";
    EXPECT_EQ(error.load(), 0);
    EXPECT_GT(partialSends.load(), 0) << "no send was ever cut short";

    ASSERT_TRUE(pair.fPeer.SendAll("hello"));
    Platform::ShutdownSocketSend(pair.fPeer.Handle());
    ASSERT_TRUE(pair.WaitReadable());
    // The platform answers a receive of nothing as it answers the end: it must not be asked.
    EXPECT_EQ(socket.Read(buffer, 0, &count), 0);
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(socket.Read(buffer, sizeof(buffer), &count), 0);
    EXPECT_EQ(std::string(buffer, count), "hello");
    EXPECT_EQ(socket.Read(buffer, sizeof(buffer), &count), kErrNotConnected);
    EXPECT_FALSE(socket.IsConnected());

    pair.fPeer.CloseWithReset();
    const auto sendFails = [&] {
        socket.MarkConnected();
        return socket.Send("x", 1, nullptr) == EPIPE;
    };
    ASSERT_TRUE(WaitUntil(sendFails)) << "the reset never arrived";
    const SocketBuffer buffers[1] = {{1, const_cast<char*>("y")}};
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(sendFails());
        socket.MarkConnected();
        EXPECT_EQ(socket.SendVector(buffers, 1, nullptr), EPIPE);
    }
    EXPECT_EQ(socket.Send("x", 1, nullptr), kErrNotConnected);
}

// A gathered send of more pieces than one call takes, cut short in its first call while the peer
// reads: the peer gets exactly the bytes reported sent, though room came before a next call.
TEST(SocketStream, AGatheredSendCutShortReportsOnlyTheBytesThatWentInOrder) {
    if (!Platform::kFaultInjectionBuilt) GTEST_SKIP() << "built without fault points";
    const std::string pattern = PatternBytes(1u << 20, 3);
    StreamPair pair;
    ASSERT_TRUE(pair.fMade);
    pair.fSocket.SetSendBufferSize(16 * 1024);
    std::vector<SocketBuffer> pieces(256);
    const uint32_t each = uint32_t(pattern.size() / pieces.size());
    for (size_t i = 0; i < pieces.size(); ++i)
        pieces[i] = {each, const_cast<char*>(&pattern[i * each])};
    std::string received;
    Platform::SetStepAction(Platform::Step::kSendBatchReturned, [&] {
        char buffer[64 * 1024];
        for (int empty = 0; empty < 20; OSThread::Sleep(1)) {
            const int32_t count =
                Platform::ReceiveSocket(pair.fPeer.Handle(), buffer, sizeof(buffer));
            empty = count > 0 ? (received.append(buffer, size_t(count)), 0) : empty + 1;
        }
    });
    uint32_t sent = 0;
    const int32_t result = pair.fSocket.SendVector(pieces.data(), uint32_t(pieces.size()), &sent);
    Platform::SetStepAction(Platform::Step::kSendBatchReturned, nullptr);
    ASSERT_EQ(result, 0);
    ASSERT_GT(sent, 0u);
    ASSERT_LE(received.size(), sent);
    ASSERT_TRUE(pair.fPeer.ReceiveExactly(sent - received.size(), &received));
    EXPECT_TRUE(received == pattern.substr(0, sent)) << sent << " bytes reported sent";
    std::string more;
    EXPECT_FALSE(pair.fPeer.ReceiveExactly(1, &more, 50ms)) << "more came than was reported";
}

// Null arguments are refused before the platform sees them and failed options reported (the
// receive buffer's returned): neither costs the connection or its data.
TEST(SocketReports, NullArgumentsAndFailedOptionsAreReportedAndCostNothing) {
    const auto at = [](int line) { return AssertText("Socket", line); };
    Socket closed(nullptr, 0);  // without a handle every option fails
    ReportedAsserts reported;
    closed.SetReuseAddress();
    closed.SetNoDelay();
    closed.SetKeepAlive();
    closed.SetSendBufferSize(4096);
    EXPECT_EQ(closed.SetReceiveBufferSize(4096), kErrNotConnected);
    EXPECT_EQ(reported.Take(),
              (Reports{at(103), at(110), at(117), AssertText("Socket", 131, kErrNotConnected)}));
    StreamPair pair;
    ASSERT_TRUE(pair.fMade && pair.fPeer.SendAll("def") && pair.WaitReadable());
    Socket& socket = pair.fSocket;
    const int32_t handle = socket.GetSocketFD(), gone = kErrNotConnected;
    char buffer[8], abc[] = "abc";
    const SocketBuffer buffers[1] = {{3, abc}};
    uint32_t count = 0;
    const std::tuple<std::function<int32_t()>, int32_t, Reports> cases[] = {
        {[&] { return socket.Send("abc", 3, nullptr); }, 0, {}},  // the count is optional
        {[&] { return socket.SendVector(buffers, 1, nullptr); }, 0, {}},
        {[&] { return socket.Send(nullptr, 4, &count); }, gone, {at(282)}},
        {[&] { return socket.SendVector(nullptr, 2, &count); }, gone, {at(307)}},
        {[&] { return socket.Read(buffer, 8, nullptr); }, gone, {at(340)}},
        {[&] { return socket.Read(nullptr, 8, &count); }, gone, {at(341)}},
        {[&] { return socket.Open(Socket::kStreamType); }, 0, {at(86)}},
    };
    for (const auto& [call, result, report] : cases) {
        EXPECT_EQ(call(), result);
        EXPECT_EQ(reported.Take(), report);
        EXPECT_TRUE(socket.IsConnected());
    }
    EXPECT_EQ(socket.GetSocketFD(), handle) << "a second Open replaced the handle";
    ASSERT_EQ(socket.Read(buffer, sizeof(buffer), &count), 0);
    EXPECT_EQ(std::string(buffer, count), "def");
    std::string received;
    EXPECT_TRUE(pair.fPeer.ReceiveExactly(6, &received) && received == "abcabc") << received;
}

}  // namespace
