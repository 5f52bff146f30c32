// Intrusive queues; order, membership and walks over random sequences run in ContainerFuzz.

#include "OSQueue.h"
#include "support/TestSupport.h"

namespace {

// Misuse is reported and leaves both rings whole.
TEST(OSQueue, MisuseIsReportedAndLeavesRingsWhole) {
    OSQueueElem x, y;
    OSQueue first, second;
    first.Enqueue(&x);
    second.Enqueue(&y);
    ReportedAsserts asserts;
    first.Enqueue(nullptr);
    first.Remove(nullptr);
    first.Enqueue(&y);  // linked into two rings, both would break
    {
        OSQueueElem dying;
        first.Enqueue(&dying);
    }  // unlinked as it dies
    EXPECT_EQ(asserts.Take().size(), 4u);
    for (auto [queue, elem] : {std::pair(&first, &x), std::pair(&second, &y)}) {
        EXPECT_EQ(queue->GetLength(), 1u);
        EXPECT_EQ(queue->Dequeue(), elem);
        EXPECT_EQ(queue->Dequeue(), nullptr);
    }
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
    int round = 1;
    {
        BoundedThread consumer([&] {
            for (int round = 1; round <= kRounds && !quit; ++round) {
                waiting = round;
                while (queue.DequeueWaiting(nullptr, 20000) == nullptr && !quit) {
                }
            }
        });
        for (; round <= kRounds; ++round) {
            const auto deadline = std::chrono::steady_clock::now() + 5s;
            while (waiting.load() != round && std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();       // no sleep: the gap is microseconds wide
            if (waiting.load() != round) break;  // it slept through the round before
            for (std::atomic<int> spin{0}; spin < round % 40 * 20;)  // a short delay
                spin.fetch_add(1);
            queue.Enqueue(&elem);
        }
        quit = true;
        WaitUntil([&] { return queue.GetCond()->Signal(), consumer.Finished(); });  // on failure
    }
    queue.Dequeue();
    EXPECT_GT(round, kRounds) << "the consumer slept through round " << round - 1;
}

}  // namespace
