// Platform calls fail or are interrupted: operations retry, report the error, change no more.

#include "platform/FaultInjection.h"
#include "support/RuntimeEnvironment.h"
#include "support/StreamPeer.h"

namespace {

using Platform::FaultPoint;

// Windows error codes, as the platform layer takes them on every platform.
constexpr uint32_t kInterrupted = 10004;  // WSAEINTR
constexpr uint32_t kInvalid = 10022;      // WSAEINVAL
constexpr uint32_t kNotSocket = 10038;    // WSAENOTSOCK
constexpr uint32_t kAborted = 10053;      // WSAECONNABORTED
constexpr uint32_t kReset = 10054;        // WSAECONNRESET

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

class FaultInjection : public testing::Test {
protected:
    void SetUp() override {
        if (!Platform::kFaultInjectionBuilt) GTEST_SKIP() << "built without fault points";
        Platform::ClearFaults();
    }
    void TearDown() override { Platform::ClearFaults(); }
};

// Each transfer: interrupted twice, made again; failed, it ends the connection with no count;
// then it reaches the platform no more.
TEST_F(FaultInjection, TransfersRetryInterruptionsEndTheConnectionOnFailureThenNeverStart) {
    StreamPair pair;
    ASSERT_TRUE(pair.fMade);
    ConnectableSocket& socket = pair.fSocket;
    char buffer[8], data[] = "abc";
    const SocketBuffer buffers[2] = {{1, data}, {2, data + 1}};
    uint32_t count = 0;
    const auto transfer = [&](FaultPoint point) {
        return point == FaultPoint::kSend         ? socket.Send(data, 3, &count)
               : point == FaultPoint::kSendVector ? socket.SendVector(buffers, 2, &count)
                                                  : socket.Read(buffer, sizeof(buffer), &count);
    };
    for (FaultPoint point : {FaultPoint::kSend, FaultPoint::kSendVector, FaultPoint::kReceive}) {
        SCOPED_TRACE(int(point));
        Platform::ClearFaults();  // the peer's calls take them too
        if (point == FaultPoint::kReceive) {
            ASSERT_TRUE(pair.fPeer.SendAll("xy") && pair.WaitReadable());
        }
        Platform::InjectFault(point, kInterrupted, 2);
        EXPECT_EQ(transfer(point), 0);
        EXPECT_EQ(count, point == FaultPoint::kReceive ? 2u : 3u);
        Platform::InjectFault(point, kAborted);
        count = 77;
        EXPECT_EQ(transfer(point), EPIPE);
        EXPECT_FALSE(socket.IsConnected());
        EXPECT_EQ(count, 77u);
        Platform::InjectFault(point, kReset);
        EXPECT_EQ(transfer(point), kErrNotConnected);
        EXPECT_EQ(Platform::FaultsTaken(point), 3u);
        socket.MarkConnected();
    }
    Platform::ClearFaults();
    EXPECT_EQ(std::string(buffer, 2), "xy");
    std::string peerGot;
    EXPECT_TRUE(pair.fPeer.ReceiveExactly(6, &peerGot) && peerGot == "abcabc") << peerGot;
}

TEST_F(FaultInjection, ContextPlatformFailuresAreReportedWithTheErrorAndTheContextGoesOn) {
    uint16_t port = 0;
    const Platform::SocketHandle handle = OpenBoundDatagramSocket(&port);
    TaskProbe task;
    EventContext context(-1, RuntimeEnvironment::EventLoop());
    context.SetTask(&task);
    const auto at = [](int line) { return AssertText("EventContext", line, kErrNotConnected); };
    ReportedAsserts reported;
    Platform::InjectFault(FaultPoint::kSetNonBlocking, kInvalid);
    context.SetNonBlocking(handle);
    EXPECT_EQ(context.GetSocketFD(), handle);  // the handle is kept all the same
    Platform::InjectFault(FaultPoint::kSelectEvents, kNotSocket, 2);
    context.ArmEvent(kWatchRead);  // the first watch
    context.ArmEvent(kWatchRead);  // a re-arm
    EXPECT_EQ(reported.Take(), (std::vector<std::string>{at(82), at(232), at(174)}));

    // The registration stands: the next arming works and delivers.
    context.ArmEvent(kWatchRead);
    ASSERT_TRUE(SendDatagramTo(port, "x", 1));
    EXPECT_TRUE(WaitUntil([&] { return task.fRuns.load() == 1; }));

    // A failed close is reported; the context lets go of the handle either way.
    Platform::InjectFault(FaultPoint::kCloseSocket, kNotSocket);
    context.Dispose();
    EXPECT_EQ(context.GetSocketFD(), -1);
    EXPECT_EQ(reported.Take(), std::vector<std::string>{at(124)});
    Platform::CloseSocket(handle);  // the injected failure left it open
}

}  // namespace
