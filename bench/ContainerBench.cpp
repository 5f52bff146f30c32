// Intrusive queues and the timer heap, each beside its standard-library counterpart. Global
// operator new is replaced to count allocations: "allocs/op" shows what each operation
// allocates once the container is warm.
#include <benchmark/benchmark.h>

#include <deque>
#include <queue>
#include <random>
#include <vector>

#include "CountingAllocator.h"
#include "OSHeap.h"
#include "OSQueue.h"

namespace {

using bench::AllocationCounter;

// One iteration takes the oldest element and puts it back as the newest, with the queue
// holding range(0) elements throughout.
void BM_OSQueue_DequeueEnqueue(benchmark::State& state) {
    std::vector<OSQueueElem> elems(state.range(0));
    OSQueue queue;
    for (auto& elem : elems)
        queue.Enqueue(&elem);
    AllocationCounter allocations;
    for (auto _ : state) {
        OSQueueElem* elem = queue.Dequeue();
        queue.Enqueue(elem);
        benchmark::DoNotOptimize(elem);
    }
    allocations.Report(state);
    while (queue.Dequeue() != nullptr) {
    }
}
BENCHMARK(BM_OSQueue_DequeueEnqueue)->RangeMultiplier(10)->Range(10, 100000);

void BM_StdDeque_PopPush(benchmark::State& state) {
    std::vector<int> items(state.range(0));
    std::deque<int*> queue;
    for (auto& item : items)
        queue.push_back(&item);
    AllocationCounter allocations;
    for (auto _ : state) {
        int* item = queue.front();
        queue.pop_front();
        queue.push_back(item);
        benchmark::DoNotOptimize(item);
    }
    allocations.Report(state);
}
BENCHMARK(BM_StdDeque_PopPush)->RangeMultiplier(10)->Range(10, 100000);

// The run queue's path: lock, link, unlock, signal; then lock, unlink, unlock.
void BM_OSBlockingQueue_EnqueueDequeue(benchmark::State& state) {
    std::vector<OSQueueElem> elems(state.range(0));
    OSBlockingQueue queue;
    for (auto& elem : elems)
        queue.Enqueue(&elem);
    AllocationCounter allocations;
    for (auto _ : state) {
        OSQueueElem* elem = queue.Dequeue();
        queue.Enqueue(elem);
        benchmark::DoNotOptimize(elem);
    }
    allocations.Report(state);
    while (queue.Dequeue() != nullptr) {
    }
}
BENCHMARK(BM_OSBlockingQueue_EnqueueDequeue)->Arg(10)->Arg(100000);

// Timers as a task thread sees them: the earliest comes out and goes back in with a later
// key, the heap holding range(0) elements throughout. Both heaps see the same keys.
struct Timer {
    OSHeapElem fElem{this};
};

std::vector<int64_t> Delays() {
    std::mt19937 random(42);
    std::vector<int64_t> delays(4096);
    for (auto& delay : delays)
        delay = random() % 100000;
    return delays;
}

void BM_OSHeap_ExtractInsert(benchmark::State& state) {
    const std::vector<int64_t> delays = Delays();
    std::vector<Timer> timers(state.range(0));
    OSHeap heap(1024);
    size_t next = 0;
    for (auto& timer : timers) {
        timer.fElem.SetValue(delays[next++ % delays.size()]);
        heap.Insert(&timer.fElem);
    }
    AllocationCounter allocations;
    for (auto _ : state) {
        OSHeapElem* elem = heap.ExtractMin();
        elem->SetValue(elem->GetValue() + delays[next++ % delays.size()]);
        heap.Insert(elem);
    }
    allocations.Report(state);
    while (heap.ExtractMin() != nullptr) {
    }
}
BENCHMARK(BM_OSHeap_ExtractInsert)->Arg(1000)->Arg(100000);

struct Later {
    bool operator()(const OSHeapElem* a, const OSHeapElem* b) const {
        return a->GetValue() > b->GetValue();
    }
};

void BM_StdPriorityQueue_PopPush(benchmark::State& state) {
    const std::vector<int64_t> delays = Delays();
    std::vector<Timer> timers(state.range(0));
    std::vector<OSHeapElem*> storage;
    storage.reserve(1024);
    std::priority_queue<OSHeapElem*, std::vector<OSHeapElem*>, Later> heap(Later(),
                                                                           std::move(storage));
    size_t next = 0;
    for (auto& timer : timers) {
        timer.fElem.SetValue(delays[next++ % delays.size()]);
        heap.push(&timer.fElem);
    }
    AllocationCounter allocations;
    for (auto _ : state) {
        OSHeapElem* elem = heap.top();
        heap.pop();
        elem->SetValue(elem->GetValue() + delays[next++ % delays.size()]);
        heap.push(elem);
    }
    allocations.Report(state);
}
BENCHMARK(BM_StdPriorityQueue_PopPush)->Arg(1000)->Arg(100000);

}  // namespace
