/// @file
/// Intrusive first-in first-out queues: the objects being queued embed their elements, so
/// queueing never allocates and every operation is a few pointer writes.
#pragma once

#include <cstdint>

#include "OSCond.h"
#include "OSMutex.h"

class OSQueue;
class OSThread;

/// The link an object embeds to be queued. An element is in at most one queue at a time.
class OSQueueElem {
public:
    /// The enclosing object is what the element stands for; the queue never touches it.
    explicit OSQueueElem(void* enclosingObject = nullptr) : fEnclosingObject(enclosingObject) {}
    /// An element must be in no queue when it dies (asserted); one that still is gets
    /// unlinked, so its queue never points at dead memory.
    virtual ~OSQueueElem();
    OSQueueElem(const OSQueueElem&) = delete;
    OSQueueElem& operator=(const OSQueueElem&) = delete;

    void* GetEnclosingObject() const { return fEnclosingObject; }         ///< What it stands for.
    void SetEnclosingObject(void* object) { fEnclosingObject = object; }  ///< Not owned.
    /// The queue the element is in, or null.
    OSQueue* GetCurrentQueue() const { return fCurrentQueue; }

private:
    friend class OSQueue;
    friend class OSQueueIterator;

    // Meaningful only while fCurrentQueue is set; left as they were on removal.
    OSQueueElem* fNext = nullptr;  // toward the older end; in a sentinel, the head
    OSQueueElem* fPrev = nullptr;  // toward the newer end; in a sentinel, the tail
    OSQueue* fCurrentQueue = nullptr;
    void* fEnclosingObject;
};

/// A ring closed by a sentinel. Elements enter at the head (newest) and leave at the tail
/// (oldest). Not thread-safe: whoever shares one locks around every operation.
class OSQueue {
public:
    OSQueue();
    /// Holders empty their queues first; elements still queued are released, so none is
    /// left naming a dead queue.
    ~OSQueue();
    OSQueue(const OSQueue&) = delete;
    OSQueue& operator=(const OSQueue&) = delete;

    /// Adds at the head. An element already here stays where it is; one in another queue
    /// is refused (asserted), since linking it twice would break both rings.
    void Enqueue(OSQueueElem* elem);
    /// Takes the tail, or null when empty.
    OSQueueElem* Dequeue();
    /// Unlinks the element if it is in this queue; otherwise does nothing.
    void Remove(OSQueueElem* elem);

    uint32_t GetLength() const { return fLength; }  ///< The elements queued.
    /// The newest element, or null when empty.
    OSQueueElem* GetHead() const { return IsRingEmpty() ? nullptr : fSentinel.fNext; }

private:
    friend class OSQueueIterator;

    bool IsRingEmpty() const { return fSentinel.fNext == &fSentinel; }

    OSQueueElem fSentinel;  // first member: its address is the queue's identity
    uint32_t fLength = 0;
};

/// Walks a queue from its oldest element to its newest. The current element may be removed
/// during the walk; Next still moves on to its newer neighbour.
class OSQueueIterator {
public:
    /// Starts at the queue's oldest element.
    explicit OSQueueIterator(OSQueue* queue);

    OSQueueElem* GetCurrent() const { return fCurrent; }  ///< Null once done.
    bool IsDone() const { return fCurrent == nullptr; }   ///< Past the newest element.
    void Next();                                          ///< Moves to the next newer element.

private:
    OSQueue* fQueue;
    OSQueueElem* fCurrent;
};

/// A queue that any number of producers fill and one consumer empties, waiting with a
/// timeout while it is empty. Every Enqueue signals the condition after releasing the lock;
/// a signal with no waiter is kept, so an element added between the consumer's look at
/// the length and its wait is never missed. The price is an occasional early null.
class OSBlockingQueue {
public:
    OSBlockingQueue() = default;
    OSBlockingQueue(const OSBlockingQueue&) = delete;
    OSBlockingQueue& operator=(const OSBlockingQueue&) = delete;

    /// Adds at the head and wakes the consumer; any thread.
    void Enqueue(OSQueueElem* elem);
    /// Adds without signalling the condition: for a producer that wakes the consumer itself
    /// later, through GetCond.
    void EnqueueQuietly(OSQueueElem* elem);
    OSQueueElem* Dequeue();  ///< The tail or null; never waits.
    /// When empty, waits once, for at most the timeout (0 or less: no limit), then takes the
    /// tail or null. The thread is accepted for the callers' sake and not used.
    OSQueueElem* DequeueWaiting(OSThread* thread, int32_t timeoutMSec);
    uint32_t GetLength();  ///< The elements queued, under the queue's lock.

    /// Lets the owner wake a waiting consumer without an element.
    OSCond* GetCond() { return &fCond; }

private:
    OSCond fCond;
    OSMutex fMutex;
    OSQueue fQueue;
};
