// Queues jobs without allocating, and hands out timers in the order they fall due.
#include <commonutilities/OSHashTable.h>
#include <commonutilities/OSHeap.h>
#include <commonutilities/OSQueue.h>

#include <chrono>
#include <cstdio>

//! [job]
struct Job {
    explicit Job(int id) : fId(id) {}
    int fId;
    OSQueueElem fQueueElem{this};  // the link; the job is its enclosing object
};
//! [job]

//! [hash]
struct PortKey {
    uint16_t fPort;
    uint32_t GetHashValue() const { return fPort; }
    bool operator==(const PortKey& other) const { return fPort == other.fPort; }
};

struct Binding {
    explicit Binding(uint16_t port) : fPort(port), fHashValue(PortKey{port}.GetHashValue()) {}
    PortKey GetKey() const { return PortKey{fPort}; }
    uint16_t fPort;
    uint32_t fHashValue;              // what the table places it by
    Binding* fNextInChain = nullptr;  // the table's link: null while in no table
};
//! [hash]

struct Timer {
    explicit Timer(int64_t due) { fHeapElem.SetValue(due); }  // key set before Insert
    OSHeapElem fHeapElem{this};
};

int main() {
    //! [queue]
    Job first(1), second(2), third(3);
    OSQueue queue;
    queue.Enqueue(&first.fQueueElem);
    queue.Enqueue(&second.fQueueElem);
    queue.Enqueue(&third.fQueueElem);
    queue.Remove(&second.fQueueElem);  // unlinked from anywhere in the queue

    int order = 0;
    while (OSQueueElem* elem = queue.Dequeue())  // oldest first
        order = order * 10 + static_cast<Job*>(elem->GetEnclosingObject())->fId;
    //! [queue]
    std::printf("dequeued in the order %d\n", order);

    //! [iterate]
    queue.Enqueue(&first.fQueueElem);
    queue.Enqueue(&second.fQueueElem);
    int walked = 0;
    for (OSQueueIterator it(&queue); !it.IsDone(); it.Next()) {
        walked++;
        queue.Remove(it.GetCurrent());  // the current element, and only it, may go
    }
    //! [iterate]
    if (walked != 2 || queue.GetLength() != 0) return 1;

    //! [table]
    OSHashTable<Binding, PortKey> bindings(64);  // a power of two: indexed by mask
    Binding web(8080), mail(25);
    bindings.Insert(&web);
    bindings.Insert(&mail);
    Binding* found = bindings.Lookup(PortKey{25});  // &mail
    bindings.Erase(&web);
    bindings.Erase(&mail);  // unlinked before they go out of scope
    //! [table]
    if (found != &mail || bindings.GetEntryCount() != 0) return 1;

    //! [heap]
    Timer last(300), soon(100), middle(200);
    OSHeap heap(4);  // grows by doubling; never allocates per element
    for (Timer* timer : {&last, &soon, &middle})
        heap.Insert(&timer->fHeapElem);
    heap.Remove(&middle.fHeapElem);  // a linear scan

    int64_t dueSum = 0;
    while (OSHeapElem* elem = heap.ExtractMin())  // smallest key first
        dueSum = dueSum * 1000 + elem->GetValue();
    //! [heap]
    std::printf("timers fell due as %lld\n", (long long)dueSum);

    //! [blocking]
    OSBlockingQueue jobs;
    jobs.Enqueue(&first.fQueueElem);                         // any thread; signals
    OSQueueElem* taken = jobs.DequeueWaiting(nullptr, 100);  // the one consumer
    // Enqueue's signal found no waiter and was kept: this wait ends at once, empty-handed.
    OSQueueElem* early = jobs.DequeueWaiting(nullptr, 100);
    //! [blocking]
    const auto start = std::chrono::steady_clock::now();
    OSQueueElem* late = jobs.DequeueWaiting(nullptr, 50);  // nothing kept now: the full wait
    const auto waited = std::chrono::steady_clock::now() - start;
    std::printf("blocking queue: %s, then an early null, then null after %lld ms\n",
                taken == &first.fQueueElem ? "the job" : "no job",
                (long long)std::chrono::duration_cast<std::chrono::milliseconds>(waited).count());
    const bool blockingOk = taken == &first.fQueueElem && early == nullptr && late == nullptr &&
                            waited >= std::chrono::milliseconds(40);
    return order == 13 && dueSum == 100300 && blockingOk ? 0 : 1;
}
