// Chosen platform calls fail or are interrupted; every operation must then do what it
// promises: retry, report the right error number or assertion, and change no more state
// than it says.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "EventContext.h"
#include "Socket.h"
#include "platform/FaultInjection.h"
#include "support/Loopback.h"
#include "support/RuntimeEnvironment.h"
#include "support/StreamPeer.h"
#include "support/TestSupport.h"

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

// (Would-block and resets of real connections are in SocketTest.)
TEST_F(FaultInjection, TransfersRetryInterruptionsEndTheConnectionOnFailureOrNeverStart) {
    enum Transfer { kSend, kSendVector, kRead };
    const FaultPoint points[] = {FaultPoint::kSend, FaultPoint::kSendVector, FaultPoint::kReceive};
    const struct {
        Transfer fTransfer;
        uint32_t fError, fTimes;
        bool fConnected;  // before the call: if not, no platform call is made at all
        int32_t fResult;
    } cases[] = {
        {kSend, kInterrupted, 3, true, 0},
        {kSendVector, kInterrupted, 2, true, 0},
        {kRead, kInterrupted, 2, true, 0},
        {kRead, kAborted, 1, true, EPIPE},
        {kSend, kReset, 1, false, kErrNotConnected},
        {kSendVector, kReset, 1, false, kErrNotConnected},
        {kRead, kReset, 1, false, kErrNotConnected},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& test = cases[i];
        SCOPED_TRACE(i);
        Platform::ClearFaults();  // one the row before did not take
        StreamPair pair(Socket::kSocketNonBlocking |
                        (test.fConnected ? Socket::kSocketConnected : 0));
        ASSERT_TRUE(pair.fMade && pair.fPeer.SendAll("xy") && pair.WaitReadable());
        Platform::InjectFault(points[test.fTransfer], test.fError, test.fTimes);
        char buffer[8], data[] = "abc";
        const SocketBuffer buffers[2] = {{1, data}, {2, data + 1}};
        uint32_t count = 77;
        const int32_t result = test.fTransfer == kSend ? pair.fSocket.Send(data, 3, &count)
                               : test.fTransfer == kSendVector
                                   ? pair.fSocket.SendVector(buffers, 2, &count)
                                   : pair.fSocket.Read(buffer, sizeof(buffer), &count);
        EXPECT_EQ(result, test.fResult);
        EXPECT_EQ(Platform::FaultsTaken(points[test.fTransfer]), test.fConnected ? test.fTimes : 0);
        EXPECT_EQ(bool(pair.fSocket.IsConnected()), test.fResult == 0);
        std::string peerGot;  // what moved: nothing on a failure, else all of it
        if (test.fResult != 0)
            EXPECT_EQ(count, 77u) << "a failed transfer reported a count";
        else if (test.fTransfer == kRead)
            EXPECT_EQ(std::string(buffer, count), "xy");
        else
            EXPECT_TRUE(pair.fPeer.ReceiveExactly(3, &peerGot) && peerGot == "abc") << peerGot;
    }
}

TEST_F(FaultInjection, ContextPlatformFailuresAreReportedWithTheErrorAndTheContextGoesOn) {
    uint16_t port = 0;
    const Platform::SocketHandle handle = OpenBoundDatagramSocket(&port);
    TaskProbe task;
    EventContext context(-1, RuntimeEnvironment::EventLoop());
    context.SetTask(&task);
    ReportedAsserts reported;
    Platform::InjectFault(FaultPoint::kSetNonBlocking, kInvalid);
    context.SetNonBlocking(handle);
    EXPECT_EQ(context.GetSocketFD(), handle);  // the handle is kept all the same
    Platform::InjectFault(FaultPoint::kSelectEvents, kNotSocket);
    context.ArmEvent(kWatchRead);  // the first watch
    Platform::InjectFault(FaultPoint::kSelectEvents, kNotSocket);
    context.ArmEvent(kWatchRead);  // a re-arm
    EXPECT_EQ(reported.Take(),
              (std::vector<std::string>{AssertText("EventContext", 82, kErrNotConnected),
                                        AssertText("EventContext", 232, kErrNotConnected),
                                        AssertText("EventContext", 174, kErrNotConnected)}));

    // The registration stands: the next arming works and delivers.
    context.ArmEvent(kWatchRead);
    ASSERT_TRUE(SendDatagramTo(port, "x", 1));
    EXPECT_TRUE(WaitUntil([&] { return task.fRuns.load() == 1; }));

    // A failed close is reported; the context lets go of the handle either way.
    Platform::InjectFault(FaultPoint::kCloseSocket, kNotSocket);
    context.Dispose();
    EXPECT_EQ(context.GetSocketFD(), -1);
    EXPECT_EQ(reported.Take(),
              std::vector<std::string>{AssertText("EventContext", 124, kErrNotConnected)});
    Platform::CloseSocket(handle);  // the injected failure left it open
}

}  // namespace
