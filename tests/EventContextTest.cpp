// Event contexts with a real event loop and task threads: message numbers, arming,
// delivery to the owning task, take-over and disposal.
#include "EventContext.h"
#include "OSAtomic.h"
#include "platform/FaultInjection.h"
#include "support/Loopback.h"
#include "support/MessageNumbers.h"
#include "support/RuntimeEnvironment.h"
#include "support/TaskProbe.h"

namespace {

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

// A datagram socket on loopback in a context that signals a probe task.
struct ArmedSocket {
    ArmedSocket() : fContext(std::make_unique<EventContext>(-1, RuntimeEnvironment::EventLoop())) {
        Open();
        fContext->SetTask(&fTask);
    }
    void Open() { fContext->SetNonBlocking(OpenBoundDatagramSocket(&fPort)); }
    bool RunsWithin(int runs, std::chrono::milliseconds limit = 10s) {
        return WaitUntil([&] { return fTask.fRuns.load() >= runs; }, limit);
    }
    uint16_t fPort = 0;
    TaskProbe fTask;
    std::unique_ptr<EventContext> fContext;
};

TEST(MessageNumbers, SequenceWrapsFrom8192To1024AndSkipsNumbersInUse) {
    ArmedSocket first;
    first.fContext->ArmEvent(kWatchRead);
    const uint32_t held = first.fContext->GetMessageNumber();
    while (AtomicRead(&sNextMessageNumber) != 8191)
        AllocateMessageNumber();
    ArmedSocket last, wrapped, next;
    for (ArmedSocket* socket : {&last, &wrapped, &next})
        socket->fContext->ArmEvent(kWatchRead);
    EXPECT_EQ(last.fContext->GetMessageNumber(), 8192u);
    EXPECT_EQ(wrapped.fContext->GetMessageNumber(), 1024u);
    // The number after 1024 is skipped while it is still registered.
    EXPECT_EQ(next.fContext->GetMessageNumber(), held == 1025 ? 1026u : 1025u);
    const uint32_t number = next.fContext->GetMessageNumber();
    next.fContext->ArmEvent(kWatchWrite);  // arming again keeps the number
    EXPECT_EQ(next.fContext->GetMessageNumber(), number);
}

TEST(MessageNumbers, RacingAllocatorsNeverLeaveTheRange) {
    std::atomic<bool> outside{false};
    std::vector<std::unique_ptr<BoundedThread>> threads;
    for (int t = 0; t < 4; ++t) {
        threads.push_back(std::make_unique<BoundedThread>([&] {
            for (int i = 0; i < 20000; ++i) {
                const uint32_t number = AllocateMessageNumber();
                if (number < kFirstSocketMessage || number > kLastSocketMessage) outside = true;
            }
        }));
    }
    threads.clear();
    EXPECT_FALSE(outside);
}

// With every number taken, arming fails and leaves the context unarmed, asserted once per run
// of failures; a number freed can be reserved (still unarmed), then armed.
TEST(MessageNumbers, AllNumbersInUseLeaveTheContextUnarmedUntilOneIsFree) {
    MessageNumberHog hog;
    ASSERT_GT(hog.Held(), 100u);
    ReportedAsserts reported;
    ArmedSocket crowded, other;
    uint32_t freed = 0;
    struct Step {
        const char* fWhat;
        ArmedSocket* fSocket;
        bool fReserveOnly, fFreeOne;
        int32_t fResult;
        size_t fAsserts;
    };
    const Step steps[] = {
        {"first failure", &crowded, false, false, kErrNoMessageNumber, 1},
        {"again in the same run", &crowded, false, false, kErrNoMessageNumber, 0},
        {"a reservation", &other, true, false, kErrNoMessageNumber, 0},
        {"a number freed and reserved", &crowded, true, true, 0, 0},
        {"the reserved number armed", &crowded, false, false, 0, 0},
        {"a new run", &other, false, false, kErrNoMessageNumber, 1},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.fWhat);
        if (step.fFreeOne) freed = hog.Release(100);
        EventContext& context = *step.fSocket->fContext;
        EXPECT_EQ(step.fReserveOnly ? context.ReserveMessageNumber() : context.ArmEvent(kWatchRead),
                  step.fResult);
        EXPECT_EQ(context.IsArmed(), step.fResult == 0 && !step.fReserveOnly);
        EXPECT_EQ(context.GetMessageNumber(), step.fResult == 0 ? freed : 0u);
        ASSERT_EQ(reported.Take(), std::vector<std::string>(
                                       step.fAsserts, AssertText("EventContext", 92,
                                                                 OSRefRegistry::kDuplicateName)));
    }
    ASSERT_TRUE(SendDatagramTo(crowded.fPort, "x", 1));
    EXPECT_TRUE(crowded.RunsWithin(1));
}

// A delivery signals kReadEvent whatever was armed; without a task it is ignored. Taken over,
// a context's number, deliveries and the right to close go on.
TEST(EventDelivery, ReadEventWhateverWasArmedNoneWithoutATaskAndTakeOver) {
    ArmedSocket writer, taskless, original;
    taskless.fContext->SetTask(nullptr);
    writer.fContext->ArmEvent(kWatchWrite);
    taskless.fContext->ArmEvent(kWatchRead);
    original.fContext->ArmEvent(kWatchRead);
    const uint32_t number = original.fContext->GetMessageNumber();
    TaskProbe successorTask;
    EventContext successor(original.fContext->GetSocketFD(), RuntimeEnvironment::EventLoop());
    successor.SetTask(&successorTask);
    successor.TakeOver(original.fContext.get());
    EXPECT_EQ(successor.GetMessageNumber(), number);
    original.fContext.reset();  // disposes without closing the socket
    successor.ArmEvent(kWatchRead);
    ASSERT_TRUE(SendDatagramTo(taskless.fPort, "a", 1));
    ASSERT_TRUE(SendDatagramTo(original.fPort, "t", 1));
    ASSERT_TRUE(writer.RunsWithin(1));
    EXPECT_EQ(writer.fTask.fEventsSeen.load(), Task::kReadEvent);
    EXPECT_TRUE(successorTask.RanOnce());
    EXPECT_EQ(original.fTask.fRuns.load() + taskless.fTask.fRuns.load(), 0);
}

// Notifications not asked for change nothing for a live socket: a closed socket's number,
// one naming another socket, and messages that are no socket notification.
TEST(EventDelivery, StaleAndForeignMessagesLeaveALiveSocketArmed) {
    ArmedSocket live, other;
    other.fContext->ArmEvent(kWatchRead);
    const uint32_t stale = other.fContext->GetMessageNumber();
    other.fContext->Dispose();
    live.fContext->ArmEvent(kWatchRead);
    const int32_t handle = live.fContext->GetSocketFD();
    const uint32_t number = live.fContext->GetMessageNumber();
    for (const uint32_t message : {stale, 0x0100u, 9000u})
        ASSERT_TRUE(PostEventMessage(message, handle));
    ArmedSocket bystander;
    ASSERT_TRUE(PostEventMessage(number, bystander.fContext->GetSocketFD()));
    EXPECT_FALSE(live.RunsWithin(1, 100ms));
    ASSERT_TRUE(SendDatagramTo(live.fPort, "x", 1));
    EXPECT_TRUE(live.RunsWithin(1));
}

// Reopened, a context registers afresh; one made without an event loop is reported, unarmed.
TEST(EventContextDisposal, ReopenedContextsRegisterAfreshAndNoLoopIsReported) {
    ReportedAsserts reported;
    ArmedSocket reopened;
    reopened.fContext->ArmEvent(kWatchRead);
    const uint32_t before = reopened.fContext->GetMessageNumber();
    reopened.fContext->Dispose();
    EXPECT_EQ(reopened.fContext->GetMessageNumber(), 0u);
    reopened.Open();
    reopened.fContext->ArmEvent(kWatchRead);
    EXPECT_NE(reopened.fContext->GetMessageNumber(), 0u);
    EXPECT_NE(reopened.fContext->GetMessageNumber(), before);
    ASSERT_TRUE(SendDatagramTo(reopened.fPort, "r", 1));
    EXPECT_TRUE(reopened.RunsWithin(1));

    uint16_t port = 0;
    EventContext early(OpenBoundDatagramSocket(&port), nullptr);
    early.ArmEvent(kWatchRead);
    EXPECT_EQ(early.GetMessageNumber(), 0u);
    ASSERT_EQ(reported.Take().size(), 1u);
}

// Disposed while the event loop is inside its OnEvent, a context returns only after it.
TEST(EventContextDisposal, DisposeWaitsForTheDeliveryInProgress) {
    struct HeldContext : EventContext {
        using EventContext::EventContext;
        void OnEvent(uint32_t) override {
            fInside = true;
            WaitUntil([this] { return fRelease.load(); });
            fReturned = true;
        }
        std::atomic<bool> fInside{false}, fRelease{false}, fReturned{false};
    };
    uint16_t port = 0;
    HeldContext context(-1, RuntimeEnvironment::EventLoop());
    context.SetNonBlocking(OpenBoundDatagramSocket(&port));
    context.ArmEvent(kWatchRead);
    ASSERT_TRUE(SendDatagramTo(port, "d", 1));
    ASSERT_TRUE(WaitUntil([&] { return context.fInside.load(); }));
    std::atomic<bool> disposed{false}, returnedFirst{false};
    BoundedThread disposer([&] {
        context.Dispose();
        returnedFirst = context.fReturned.load();
        disposed = true;
    });
    EXPECT_TRUE(StaysFalseFor([&] { return disposed.load(); }, 100ms));
    context.fRelease = true;
    disposer.Join();
    EXPECT_TRUE(returnedFirst.load());
}

// A failing readiness wait is reported once and retried after a pause, not in a hot loop.
TEST(EventLoop, FailingWaitsAreReportedOnceAndRetriedAfterAPause) {
    if (!Platform::kFaultInjectionBuilt) GTEST_SKIP() << "built without fault points";
    ReportedAsserts reported;
    ArmedSocket socket;
    socket.fContext->ArmEvent(kWatchRead);
    ASSERT_TRUE(SendDatagramTo(socket.fPort, "w", 1));
    ASSERT_TRUE(socket.RunsWithin(1));  // the datagram stays unread
    Platform::InjectFault(Platform::FaultPoint::kWaitEvents, 10022 /* WSAEINVAL */, 1000);
    // Wakes the loop if it already waits; either way its next wait fails, and the ones after.
    socket.fContext->ArmEvent(kWatchRead);
    OSThread::Sleep(200);
    const uint32_t taken = Platform::FaultsTaken(Platform::FaultPoint::kWaitEvents);
    Platform::ClearFaults();
    EXPECT_GT(taken, 0u);
    EXPECT_LT(taken, 100u);
    EXPECT_EQ(reported.Take(), std::vector<std::string>{AssertText("EventContext", 260, 1002)});
    EXPECT_TRUE(socket.RunsWithin(2));      // perhaps delivered already, before a failing wait
    socket.fContext->ArmEvent(kWatchRead);  // the datagram is still there
    EXPECT_TRUE(socket.RunsWithin(3));
}

}  // namespace
