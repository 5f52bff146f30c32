// Intrusive queues: order, membership, misuse that must not break a ring, and the blocking
// queue's hand-off between threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "OSQueue.h"
#include "support/TestSupport.h"

// Reaches inside a queue to damage it the way only a corrupting caller could.
struct OSQueueTestAccess {
    static OSQueueElem* Sentinel(OSQueue& queue) { return &queue.fSentinel; }
    static void SetLength(OSQueue& queue, uint32_t length) { queue.fLength = length; }
};

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::vector<OSQueueElem*> Walk(OSQueue& queue) {
    std::vector<OSQueueElem*> seen;
    for (OSQueueIterator it(&queue); !it.IsDone() && seen.size() < 1000; it.Next())
        seen.push_back(it.GetCurrent());
    return seen;
}

// Every text taken since the last call, each expected to come from the queue family.
size_t TakeQueueAssertions() {
    const auto texts = AssertRecorder::Instance().Take();
    for (const auto& text : texts)
        EXPECT_EQ(text.rfind("_Assert: OSQueue, ", 0), 0u) << text;
    return texts.size();
}

int64_t ElapsedMSec(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(OSQueue, FirstInFirstOutAndHeadIsNewest) {
    OSQueueElem x, y, z;
    OSQueue queue;
    EXPECT_EQ(queue.GetHead(), nullptr);
    queue.Enqueue(&x);
    queue.Enqueue(&y);
    queue.Enqueue(&z);
    EXPECT_EQ(queue.GetLength(), 3u);
    EXPECT_EQ(queue.GetHead(), &z);
    EXPECT_EQ(x.GetCurrentQueue(), &queue);
    EXPECT_EQ(queue.Dequeue(), &x);
    EXPECT_EQ(queue.Dequeue(), &y);
    EXPECT_EQ(queue.Dequeue(), &z);
    EXPECT_EQ(queue.Dequeue(), nullptr);
    EXPECT_EQ(queue.GetLength(), 0u);
    EXPECT_EQ(queue.GetHead(), nullptr);
    EXPECT_EQ(z.GetCurrentQueue(), nullptr);
}

TEST(OSQueue, EnqueueOfAQueuedElementChangesNothing) {
    OSQueueElem x, y;
    OSQueue queue;
    queue.Enqueue(&x);
    queue.Enqueue(&y);
    queue.Enqueue(&x);
    EXPECT_EQ(queue.GetLength(), 2u);
    EXPECT_EQ(Walk(queue), (std::vector<OSQueueElem*>{&x, &y}));
    EXPECT_EQ(TakeQueueAssertions(), 0u);
    queue.Dequeue();
    queue.Dequeue();
}

TEST(OSQueue, RemovingTheOnlyElementLeavesAFreshRing) {
    OSQueueElem x, y;
    OSQueue queue;
    queue.Enqueue(&x);
    queue.Remove(&x);
    OSQueueElem* sentinel = OSQueueTestAccess::Sentinel(queue);
    EXPECT_EQ(queue.GetLength(), 0u);
    EXPECT_EQ(queue.GetHead(), nullptr);
    EXPECT_EQ(x.GetCurrentQueue(), nullptr);
    // The sentinel points at itself both ways: a walk finds nothing.
    EXPECT_TRUE(OSQueueIterator(&queue).IsDone());
    queue.Enqueue(&y);
    EXPECT_EQ(queue.GetHead(), &y);
    EXPECT_EQ(queue.Dequeue(), &y);
    EXPECT_EQ(sentinel->GetCurrentQueue(), nullptr);
}

TEST(OSQueue, RemoveOfAnElementElsewhereChangesNeitherQueue) {
    OSQueueElem x, y, free;
    OSQueue first, second;
    first.Enqueue(&x);
    second.Enqueue(&y);
    first.Remove(&y);
    first.Remove(&free);
    EXPECT_EQ(Walk(first), std::vector<OSQueueElem*>{&x});
    EXPECT_EQ(Walk(second), std::vector<OSQueueElem*>{&y});
    EXPECT_EQ(y.GetCurrentQueue(), &second);
    EXPECT_EQ(TakeQueueAssertions(), 0u);
    // Taken out, an element may go into any queue.
    first.Remove(&x);
    second.Enqueue(&x);
    EXPECT_EQ(Walk(second), (std::vector<OSQueueElem*>{&y, &x}));
    second.Remove(&x);
    second.Remove(&y);
}

TEST(OSQueueIterator, WalksFromOldestToNewest) {
    OSQueueElem x, y, z;
    OSQueue queue;
    EXPECT_TRUE(OSQueueIterator(&queue).IsDone());
    queue.Enqueue(&x);
    queue.Enqueue(&y);
    queue.Enqueue(&z);
    OSQueueIterator it(&queue);
    EXPECT_EQ(it.GetCurrent(), &x);
    it.Next();
    EXPECT_EQ(it.GetCurrent(), &y);
    it.Next();
    EXPECT_EQ(it.GetCurrent(), &z);
    it.Next();
    EXPECT_TRUE(it.IsDone());
    it.Next();  // past the end stays done
    EXPECT_EQ(it.GetCurrent(), nullptr);
    while (queue.Dequeue() != nullptr) {
    }
}

// Removing the element the walk stands on, the head included, must neither stop the walk
// early nor hand out the sentinel.
TEST(OSQueueIterator, SurvivesRemovalOfTheCurrentElement) {
    OSQueueElem elems[4];
    OSQueue queue;
    for (auto& e : elems)
        queue.Enqueue(&e);
    std::vector<OSQueueElem*> seen;
    for (OSQueueIterator it(&queue); !it.IsDone() && seen.size() < 10; it.Next()) {
        seen.push_back(it.GetCurrent());
        queue.Remove(it.GetCurrent());
    }
    EXPECT_EQ(seen, (std::vector<OSQueueElem*>{&elems[0], &elems[1], &elems[2], &elems[3]}));
    EXPECT_EQ(queue.GetLength(), 0u);
}

TEST(OSQueue, MisuseIsReportedAndLeavesRingsIntact) {
    OSQueueElem x, y;
    OSQueue first, second;
    first.Enqueue(&x);
    second.Enqueue(&y);

    first.Enqueue(nullptr);
    first.Remove(nullptr);
    EXPECT_EQ(TakeQueueAssertions(), 2u);

    // An element of another queue is refused, not linked into two rings.
    first.Enqueue(&y);
    EXPECT_EQ(TakeQueueAssertions(), 1u);
    EXPECT_EQ(y.GetCurrentQueue(), &second);
    EXPECT_EQ(Walk(first), std::vector<OSQueueElem*>{&x});
    EXPECT_EQ(Walk(second), std::vector<OSQueueElem*>{&y});

    first.Remove(OSQueueTestAccess::Sentinel(first));
    EXPECT_EQ(TakeQueueAssertions(), 1u);
    EXPECT_EQ(Walk(first), std::vector<OSQueueElem*>{&x});

    EXPECT_EQ(first.Dequeue(), &x);
    EXPECT_EQ(second.Dequeue(), &y);
}

TEST(OSQueue, BrokenRingIsReportedAndNeverHandsOutTheSentinel) {
    OSQueueElem x;
    OSQueue queue;
    OSQueueTestAccess::SetLength(queue, 2);
    EXPECT_EQ(queue.Dequeue(), nullptr);
    EXPECT_EQ(TakeQueueAssertions(), 1u);
    EXPECT_EQ(queue.GetLength(), 0u);
    queue.Enqueue(&x);
    EXPECT_EQ(queue.Dequeue(), &x);
    EXPECT_EQ(TakeQueueAssertions(), 0u);
}

TEST(OSQueue, DestroyingAQueuedElementIsReportedAndUnlinksIt) {
    OSQueueElem x, z;
    OSQueue queue;
    queue.Enqueue(&x);
    {
        OSQueueElem y(&queue);
        EXPECT_EQ(y.GetEnclosingObject(), &queue);
        queue.Enqueue(&y);
        queue.Enqueue(&z);
    }
    EXPECT_EQ(TakeQueueAssertions(), 1u);
    EXPECT_EQ(queue.GetLength(), 2u);
    EXPECT_EQ(Walk(queue), (std::vector<OSQueueElem*>{&x, &z}));
    queue.Remove(&x);
    queue.Remove(&z);
}

TEST(OSQueue, DestroyingAQueueReleasesItsElements) {
    OSQueueElem x;
    auto queue = std::make_unique<OSQueue>();
    queue->Enqueue(&x);
    queue.reset();
    EXPECT_EQ(x.GetCurrentQueue(), nullptr);
    EXPECT_EQ(TakeQueueAssertions(), 0u);
}

// Long mixed sequences over two queues checked against a plain model: each queue a deque,
// oldest first, and each element's queue (or -1).
TEST(OSQueue, RandomOperationsMatchAModel) {
    constexpr int kElems = 40;
    constexpr int kSteps = 100000;
    std::mt19937 random(20240611);
    OSQueueElem elems[kElems];
    OSQueue queues[2];
    std::deque<int> model[2];
    int where[kElems];
    for (int& w : where)
        w = -1;

    auto index = [&](OSQueueElem* e) { return e == nullptr ? -1 : int(e - elems); };
    auto check = [&](int q) {
        ASSERT_EQ(queues[q].GetLength(), model[q].size());
        ASSERT_EQ(index(queues[q].GetHead()), model[q].empty() ? -1 : model[q].back());
        std::vector<int> walked;
        for (OSQueueElem* e : Walk(queues[q]))
            walked.push_back(index(e));
        ASSERT_EQ(walked, std::vector<int>(model[q].begin(), model[q].end()));
    };

    for (int step = 0; step < kSteps; ++step) {
        const int q = random() % 2;
        const int e = random() % kElems;
        switch (random() % 4) {
            case 0:
            case 1:
                queues[q].Enqueue(&elems[e]);
                if (where[e] == -1) {
                    model[q].push_back(e);
                    where[e] = q;
                }
                ASSERT_EQ(TakeQueueAssertions(), where[e] == q ? 0u : 1u) << "step " << step;
                break;
            case 2: {
                const int got = index(queues[q].Dequeue());
                const int expected = model[q].empty() ? -1 : model[q].front();
                ASSERT_EQ(got, expected) << "step " << step;
                if (expected >= 0) {
                    model[q].pop_front();
                    where[expected] = -1;
                }
                break;
            }
            case 3:
                queues[q].Remove(&elems[e]);
                if (where[e] == q) {
                    std::erase(model[q], e);
                    where[e] = -1;
                }
                break;
        }
        ASSERT_EQ(elems[e].GetCurrentQueue(), where[e] < 0 ? nullptr : &queues[where[e]]);
        if (step % 64 == 0) {
            ASSERT_NO_FATAL_FAILURE(check(0));
            ASSERT_NO_FATAL_FAILURE(check(1));
        }
    }
    for (auto& queue : queues) {
        while (queue.Dequeue() != nullptr) {
        }
    }
}

TEST(OSBlockingQueue, DequeueWaitingOnAnEmptyQueueTimesOut) {
    OSBlockingQueue queue;
    const auto start = Clock::now();
    EXPECT_EQ(queue.DequeueWaiting(nullptr, 200), nullptr);
    const int64_t waited = ElapsedMSec(start);
    EXPECT_GE(waited, 150);
    EXPECT_LT(waited, 5000);
}

TEST(OSBlockingQueue, EnqueueFromAnotherThreadWakesTheWaiter) {
    OSQueueElem x;
    OSBlockingQueue queue;
    std::thread producer([&] {
        std::this_thread::sleep_for(100ms);
        queue.Enqueue(&x);
    });
    const auto start = Clock::now();
    OSQueueElem* got = queue.DequeueWaiting(nullptr, 10000);
    const int64_t waited = ElapsedMSec(start);
    producer.join();
    if (got == nullptr) got = queue.Dequeue();  // must not be left queued
    EXPECT_EQ(got, &x);
    EXPECT_LT(waited, 5000);
}

// Enqueueing an element that is queued already changes nothing but still signals, so the
// consumer's next wait returns at once.
TEST(OSBlockingQueue, EnqueueOfAQueuedElementStillSignals) {
    OSQueueElem x;
    OSBlockingQueue queue;
    OSMutex mutex;  // any mutex lets the test take the condition's kept signal
    queue.Enqueue(&x);
    auto waitOnCond = [&](int32_t timeout) {
        OSMutexLocker locker(&mutex);
        const auto start = Clock::now();
        queue.GetCond()->Wait(&mutex, timeout);
        return ElapsedMSec(start);
    };
    EXPECT_LT(waitOnCond(5000), 2500);  // takes the kept signal of the first Enqueue
    queue.Enqueue(&x);
    EXPECT_EQ(queue.GetLength(), 1u);
    EXPECT_LT(waitOnCond(5000), 2500);
    EXPECT_EQ(queue.Dequeue(), &x);
    EXPECT_EQ(queue.Dequeue(), nullptr);
}

TEST(OSBlockingQueue, GetCondWakesAWaitingConsumerWithoutAnElement) {
    OSBlockingQueue queue;
    std::atomic<bool> returned{false};
    std::thread consumer([&] {
        EXPECT_EQ(queue.DequeueWaiting(nullptr, 10000), nullptr);
        returned = true;
    });
    std::this_thread::sleep_for(50ms);
    queue.GetCond()->Signal();
    EXPECT_TRUE(WaitUntil([&] { return returned.load(); }, 5s));
    consumer.join();
}

// Several producers, one consumer: everything arrives once, each producer's elements in
// the order they were sent.
TEST(OSBlockingQueue, ProducersToOneConsumerLoseAndDuplicateNothing) {
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 5000;
    struct Item {
        OSQueueElem fElem{this};
        int fProducer = 0;
        int fSequence = 0;
    };
    std::vector<Item> items(kProducers * kPerProducer);
    for (int p = 0; p < kProducers; ++p) {
        for (int i = 0; i < kPerProducer; ++i) {
            items[p * kPerProducer + i].fProducer = p;
            items[p * kPerProducer + i].fSequence = i;
        }
    }
    OSBlockingQueue queue;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i)
                queue.Enqueue(&items[p * kPerProducer + i].fElem);
        });
    }

    std::vector<int> next(kProducers, 0);
    int received = 0;
    bool inOrder = true;
    const auto deadline = Clock::now() + 30s;
    while (received < int(items.size()) && Clock::now() < deadline) {
        OSQueueElem* elem = queue.DequeueWaiting(nullptr, 100);
        if (elem == nullptr) continue;  // a kept signal whose element was taken already
        auto* item = static_cast<Item*>(elem->GetEnclosingObject());
        if (item->fSequence != next[item->fProducer]) inOrder = false;
        next[item->fProducer] = item->fSequence + 1;
        ++received;
    }
    for (auto& producer : producers)
        producer.join();
    EXPECT_EQ(received, int(items.size()));
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(queue.Dequeue(), nullptr);  // nothing duplicated or left behind
    while (queue.Dequeue() != nullptr) {
    }
}

// One element at a time with a long timeout: an element added while the consumer goes
// from its look at the length into its wait must wake it, not wait out the timeout.
TEST(OSBlockingQueue, NoWakeUpIsLostBetweenTheCheckAndTheWait) {
    constexpr int kRounds = 300;
    OSQueueElem elem;
    OSBlockingQueue queue;
    std::atomic<int> received{0};
    std::atomic<bool> quit{false};
    std::thread consumer([&] {
        while (!quit) {
            if (queue.DequeueWaiting(nullptr, 20000) != nullptr) received.fetch_add(1);
        }
    });
    int failedRound = -1;
    for (int round = 1; round <= kRounds && failedRound < 0; ++round) {
        queue.Enqueue(&elem);
        if (!WaitUntil([&] { return received.load() == round; }, 5s)) failedRound = round;
    }
    quit = true;
    queue.GetCond()->Signal();
    consumer.join();
    queue.Dequeue();
    EXPECT_EQ(failedRound, -1) << "the consumer slept through round " << failedRound;
}

}  // namespace
