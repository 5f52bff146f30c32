// Intrusive queues: misuse that must not break a ring, a walk that survives removals, and
// the blocking queue's waits. Order and membership over long random sequences are checked
// in ContainerFuzz.
#include <gtest/gtest.h>

#include "OSQueue.h"
#include "support/TestSupport.h"

// Reaches inside a queue to damage it the way only a corrupting caller could.
struct OSQueueTestAccess {
    static OSQueueElem* Sentinel(OSQueue& queue) { return &queue.fSentinel; }
    static void SetLength(OSQueue& queue, uint32_t length) { queue.fLength = length; }
};

namespace {

using namespace std::chrono_literals;
using Elems = std::vector<OSQueueElem*>;

// Removing the element the walk stands on, the head included, must neither end the walk
// early nor hand out the sentinel.
TEST(OSQueueIterator, SurvivesRemovalOfTheCurrentElement) {
    OSQueueElem elems[3];
    OSQueue queue;
    for (auto& e : elems)
        queue.Enqueue(&e);
    Elems seen;
    for (OSQueueIterator it(&queue); !it.IsDone() && seen.size() < 10; it.Next()) {
        seen.push_back(it.GetCurrent());
        queue.Remove(it.GetCurrent());
    }
    EXPECT_EQ(seen, (Elems{&elems[0], &elems[1], &elems[2]}));
}

// Each misuse is reported once and leaves both rings as they were.
TEST(OSQueue, MisuseIsReportedAndLeavesRingsWhole) {
    OSQueueElem x, y;
    OSQueue first, second;
    first.Enqueue(&x);
    second.Enqueue(&y);
    const std::function<void()> misuses[] = {
        [&] { first.Enqueue(nullptr); },
        [&] { first.Remove(nullptr); },
        [&] { first.Enqueue(&y); },  // linked into two rings, both would break
        [&] { first.Remove(OSQueueTestAccess::Sentinel(first)); },
        [&] {
            OSQueueElem dying;
            first.Enqueue(&dying);
        },     // unlinked as it dies
        [&] {  // a length with no ring behind it: the sentinel is never handed out
            OSQueueTestAccess::SetLength(first, 2);
            EXPECT_EQ(first.Dequeue(), &x);
            EXPECT_EQ(first.Dequeue(), nullptr);
            first.Enqueue(&x);
        }};
    for (const auto& misuse : misuses) {
        ReportedAsserts asserts;
        misuse();
        EXPECT_EQ(asserts.Take().size(), 1u) << &misuse - misuses;
        for (auto [queue, elem] : {std::pair(&first, &x), std::pair(&second, &y)}) {
            EXPECT_EQ(queue->GetLength(), 1u) << &misuse - misuses;
            EXPECT_EQ(OSQueueIterator(queue).GetCurrent(), elem) << &misuse - misuses;
        }
    }
    first.Remove(&x);
    second.Remove(&y);
}

TEST(OSBlockingQueue, WaitsForAnElementAWakeUpOrTheTimeout) {
    OSQueueElem x;
    OSBlockingQueue queue;
    std::atomic<int> stage{0};
    OSQueueElem* got[3] = {&x, &x, nullptr};
    BoundedThread consumer([&] {
        for (int32_t timeout : {20, 0, 0}) {  // 0: no limit
            got[stage] = queue.DequeueWaiting(nullptr, timeout);
            stage.fetch_add(1);
        }
    });
    EXPECT_TRUE(WaitUntil([&] { return stage.load() == 1; }));  // timed out
    EXPECT_TRUE(StaysFalseFor([&] { return stage.load() == 2; }, 50ms));
    queue.GetCond()->Signal();  // woken without an element, as the pool does at shutdown
    EXPECT_TRUE(WaitUntil([&] { return stage.load() == 2; }));
    queue.Enqueue(&x);
    EXPECT_TRUE(WaitUntil([&] { return consumer.Finished(); }));
    WaitUntil([&] { return queue.GetCond()->Signal(), consumer.Finished(); });  // on failure
    EXPECT_EQ(Elems(got, got + 3), (Elems{nullptr, nullptr, &x}));
}

// One element at a time, with a long timeout: an element added while the consumer goes
// from its look at the length into its wait must wake it, not wait out the timeout. Each
// round the producer adds it a little later after the consumer starts, sweeping the gap.
TEST(OSBlockingQueue, NoWakeUpIsLostBetweenTheCheckAndTheWait) {
    constexpr int kRounds = 600;
    OSQueueElem elem;
    OSBlockingQueue queue;
    std::atomic<int> waiting{0};  // the round the consumer is waiting in
    std::atomic<bool> quit{false};
    int failedRound = -1;
    {
        BoundedThread consumer([&] {
            for (int round = 1; round <= kRounds && !quit; ++round) {
                waiting = round;
                while (queue.DequeueWaiting(nullptr, 20000) == nullptr && !quit) {
                }
            }
            waiting = kRounds + 1;
        });
        for (int round = 1; round <= kRounds && failedRound < 0; ++round) {
            const auto deadline = std::chrono::steady_clock::now() + 5s;
            while (waiting.load() != round && std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();
            if (waiting.load() != round) failedRound = round - 1;
            for (std::atomic<int> spin{0}; spin < round % 40 * 20;)  // a short delay
                spin.fetch_add(1);
            queue.Enqueue(&elem);
        }
        quit = true;
        WaitUntil([&] { return queue.GetCond()->Signal(), consumer.Finished(); });  // on failure
    }
    queue.Dequeue();
    EXPECT_EQ(failedRound, -1) << "the consumer slept through round " << failedRound;
}

}  // namespace
