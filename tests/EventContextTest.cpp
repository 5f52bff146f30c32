// Event contexts with a real event loop and task threads: message numbers, arming,
// delivery to the owning task, take-over and disposal.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "EventContext.h"
#include "OSAtomic.h"
#include "support/Loopback.h"
#include "support/RuntimeEnvironment.h"
#include "support/TaskProbe.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

// A datagram socket on loopback wrapped in a context that signals a probe task.
struct ArmedSocket {
    ArmedSocket() {
        const Platform::SocketHandle handle = OpenBoundDatagramSocket(&fPort);
        fContext = std::make_unique<EventContext>(-1, RuntimeEnvironment::EventLoop());
        fContext->SetNonBlocking(handle);
        fContext->SetTask(&fTask);
    }
    // Takes every datagram waiting, as a task does before it arms again.
    void Drain() {
        char buffer[64];
        Platform::SocketAddress sender;
        while (Platform::ReceiveSocketFrom(fContext->GetSocketFD(), buffer, sizeof(buffer),
                                           &sender) > 0) {
        }
    }
    uint16_t fPort = 0;
    TaskProbe fTask;
    std::unique_ptr<EventContext> fContext;
};

// Declared first: the first number the process hands out is 1025.
TEST(MessageNumbers, SequenceWrapsFrom8192To1024AndSkipsNumbersInUse) {
    ArmedSocket first;
    first.fContext->ArmEvent(kWatchRead);
    EXPECT_EQ(first.fContext->GetMessageNumber(), 1025u);

    while (AtomicRead(&sNextMessageNumber) != 8191)
        AllocateMessageNumber();
    ArmedSocket last, wrapped, next;
    last.fContext->ArmEvent(kWatchRead);
    wrapped.fContext->ArmEvent(kWatchRead);
    next.fContext->ArmEvent(kWatchRead);
    EXPECT_EQ(last.fContext->GetMessageNumber(), 8192u);
    EXPECT_EQ(wrapped.fContext->GetMessageNumber(), 1024u);
    EXPECT_EQ(next.fContext->GetMessageNumber(), 1026u);  // 1025 is still registered

    // Arming again keeps the number.
    next.fContext->ArmEvent(kWatchWrite);
    EXPECT_EQ(next.fContext->GetMessageNumber(), 1026u);
}

TEST(MessageNumbers, RacingAllocatorsNeverLeaveTheRange) {
    std::atomic<bool> outside{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                const uint32_t number = AllocateMessageNumber();
                if (number < EventContext::kFirstMessageNumber ||
                    number > EventContext::kLastMessageNumber)
                    outside = true;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_FALSE(outside);
}

TEST(MessageNumbers, AllNumbersInUseLeavesTheContextUnarmedUntilOneIsFree) {
    // Fill every number with a placeholder entry.
    EventLoopThread* loop = RuntimeEnvironment::EventLoop();
    constexpr uint32_t kCount = 8192 - 1024 + 1;
    std::vector<uint32_t> numbers(kCount);
    std::vector<std::unique_ptr<OSRef>> entries(kCount);
    uint32_t placed = 0;
    for (uint32_t i = 0; i < kCount; ++i) {
        numbers[i] = 1024 + i;
        entries[i] = std::make_unique<OSRef>();
        entries[i]->Set(StrPtrLen(reinterpret_cast<char*>(&numbers[i]), 4), nullptr);
        if (loop->fContextTable.Insert(entries[i].get()) == 0) ++placed;
    }
    AssertRecorder::Instance().Take();

    ArmedSocket crowded;
    crowded.fContext->ArmEvent(kWatchRead);
    EXPECT_EQ(crowded.fContext->GetMessageNumber(), 0u);
    const auto texts = AssertRecorder::Instance().Take();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].rfind("_AssertV: EventContext, ", 0), 0u) << texts[0];

    // One number comes free: the next arming takes it and works.
    loop->fContextTable.Remove(entries[100].get());
    crowded.fContext->ArmEvent(kWatchRead);
    EXPECT_EQ(crowded.fContext->GetMessageNumber(), 1124u);
    ASSERT_TRUE(SendDatagramTo(crowded.fPort, "x", 1));
    EXPECT_TRUE(WaitUntil([&] { return crowded.fTask.fRuns.load() == 1; }));

    for (uint32_t i = 0; i < kCount; ++i)
        loop->fContextTable.Remove(entries[i].get());
    (void)placed;
}

TEST(EventDelivery, OneSignalPerArmingAndAgainWhenRearmedWithDataWaiting) {
    ArmedSocket socket;
    socket.fContext->ArmEvent(kWatchRead);
    ASSERT_TRUE(SendDatagramTo(socket.fPort, "a", 1));
    ASSERT_TRUE(WaitUntil([&] { return socket.fTask.fRuns.load() == 1; }));
    EXPECT_EQ(socket.fTask.fEventsSeen.load(), Task::kReadEvent);
    ASSERT_TRUE(SendDatagramTo(socket.fPort, "b", 1));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(socket.fTask.fRuns.load(), 1);  // not armed: no signal
    socket.fContext->ArmEvent(kWatchRead);    // data still waiting
    EXPECT_TRUE(WaitUntil([&] { return socket.fTask.fRuns.load() == 2; }));
}

TEST(EventDelivery, WritableArmingSignalsTheReadEvent) {
    ArmedSocket socket;
    socket.fContext->ArmEvent(kWatchWrite);
    ASSERT_TRUE(WaitUntil([&] { return socket.fTask.fRuns.load() == 1; }));
    EXPECT_EQ(socket.fTask.fEventsSeen.load(), Task::kReadEvent);
}

TEST(EventDelivery, TenSocketsEachSignalTheirOwnTask) {
    std::vector<std::unique_ptr<ArmedSocket>> sockets(10);
    for (auto& socket : sockets) {
        socket = std::make_unique<ArmedSocket>();
        socket->fContext->ArmEvent(kWatchRead);
    }
    for (auto& socket : sockets)
        ASSERT_TRUE(SendDatagramTo(socket->fPort, "z", 1));
    for (auto& socket : sockets) {
        EXPECT_TRUE(WaitUntil([&] { return socket->fTask.fRuns.load() == 1; }));
    }
    std::this_thread::sleep_for(50ms);
    for (auto& socket : sockets)
        EXPECT_EQ(socket->fTask.fRuns.load(), 1);
}

TEST(EventDelivery, ContextWithoutTaskIgnoresDeliveries) {
    ArmedSocket socket;
    socket.fContext->SetTask(nullptr);
    socket.fContext->ArmEvent(kWatchRead);
    ASSERT_TRUE(SendDatagramTo(socket.fPort, "a", 1));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(socket.fTask.fRuns.load(), 0);
}

TEST(EventDelivery, TakeOverMovesDeliveryAndTheRightToClose) {
    ArmedSocket original;
    original.fContext->ArmEvent(kWatchRead);
    const uint32_t number = original.fContext->GetMessageNumber();
    const int32_t handle = original.fContext->GetSocketFD();

    TaskProbe successorTask;
    EventContext successor(handle, RuntimeEnvironment::EventLoop());
    successor.SetTask(&successorTask);
    successor.TakeOver(original.fContext.get());
    EXPECT_EQ(successor.GetMessageNumber(), number);
    EXPECT_EQ(original.fContext->GetSocketFD(), -1);
    original.fContext.reset();  // disposes without closing the socket

    successor.ArmEvent(kWatchRead);  // re-arms: same socket, same number
    ASSERT_TRUE(SendDatagramTo(original.fPort, "t", 1));
    EXPECT_TRUE(WaitUntil([&] { return successorTask.fRuns.load() == 1; }));
    EXPECT_EQ(original.fTask.fRuns.load(), 0);
}

TEST(EventContextDisposal, UnarmedAndEmptyContexts) {
    uint16_t port = 0;
    const Platform::SocketHandle handle = OpenBoundDatagramSocket(&port);
    EventContext unarmed(handle, RuntimeEnvironment::EventLoop());
    unarmed.Dispose();
    EXPECT_EQ(unarmed.GetSocketFD(), -1);
    EXPECT_EQ(unarmed.GetMessageNumber(), 0u);
    EventContext empty(-1, RuntimeEnvironment::EventLoop());
    empty.Dispose();
    EXPECT_EQ(AssertRecorder::Instance().Take().size(), 0u);
}

// Contexts are disposed while datagrams for them and for others keep arriving: the others
// lose no wake-up and nothing crashes.
TEST(EventContextDisposal, DisposingDuringTrafficLosesNoWakeUpForOthers) {
    constexpr int kSockets = 16;
    struct Busy : ArmedSocket {
        std::atomic<bool> fDisposeRequested{false};
        std::atomic<bool> fDisposed{false};
    };
    std::vector<std::unique_ptr<Busy>> sockets(kSockets);
    for (auto& socket : sockets) {
        socket = std::make_unique<Busy>();
        Busy* self = socket.get();
        // The owner's task disposes its context, as owners do; otherwise it drains and
        // arms again.
        socket->fTask.fBody = [self](TaskProbe&) -> int64_t {
            if (self->fDisposed) return 0;
            if (self->fDisposeRequested) {
                self->fContext->Dispose();
                self->fDisposed = true;
                return 0;
            }
            self->Drain();
            self->fContext->ArmEvent(kWatchRead);
            return 0;
        };
        socket->fContext->ArmEvent(kWatchRead);
    }
    std::jthread sender([&](std::stop_token stop) {
        while (!stop.stop_requested()) {
            for (auto& socket : sockets)
                SendDatagramTo(socket->fPort, "p", 1);
        }
    });
    std::this_thread::sleep_for(100ms);
    for (int i = 0; i < kSockets; i += 2) {
        sockets[i]->fDisposeRequested = true;
        ASSERT_TRUE(WaitUntil([&] { return sockets[i]->fDisposed.load(); })) << i;
    }
    std::this_thread::sleep_for(100ms);
    sender.request_stop();
    sender.join();
    // Every surviving socket still wakes its task for a fresh datagram.
    for (int i = 1; i < kSockets; i += 2) {
        const int runs = sockets[i]->fTask.fRuns.load();
        ASSERT_TRUE(SendDatagramTo(sockets[i]->fPort, "q", 1));
        EXPECT_TRUE(WaitUntil([&] { return sockets[i]->fTask.fRuns.load() > runs; }))
            << "socket " << i;
    }
}

}  // namespace
