#include "OSQueue.h"

#include "OSAssert.h"

OSQueueElem::~OSQueueElem() {
    Assert(fCurrentQueue == nullptr);
    if (fCurrentQueue != nullptr) fCurrentQueue->Remove(this);
}

OSQueue::OSQueue() {
    fSentinel.fNext = fSentinel.fPrev = &fSentinel;
}

OSQueue::~OSQueue() {
    for (OSQueueElem* elem = fSentinel.fNext; elem != &fSentinel; elem = elem->fNext)
        elem->fCurrentQueue = nullptr;
}

void OSQueue::Enqueue(OSQueueElem* elem) {
    Assert(elem != nullptr);
    if (elem == nullptr || elem->fCurrentQueue == this) return;
    Assert(elem->fCurrentQueue == nullptr);
    if (elem->fCurrentQueue != nullptr) return;

    OSQueueElem* oldHead = fSentinel.fNext;  // the sentinel itself when empty
    elem->fNext = oldHead;
    elem->fPrev = &fSentinel;
    elem->fCurrentQueue = this;
    oldHead->fPrev = elem;
    fSentinel.fNext = elem;
    ++fLength;
}

OSQueueElem* OSQueue::Dequeue() {
    if (fLength == 0) return nullptr;
    OSQueueElem* tail = fSentinel.fPrev;
    Assert(tail != &fSentinel);
    if (tail == &fSentinel) {
        // A length with no ring behind it: the ring is the truth, and the sentinel is
        // never handed out.
        fLength = 0;
        return nullptr;
    }
    tail->fPrev->fNext = &fSentinel;
    fSentinel.fPrev = tail->fPrev;
    tail->fCurrentQueue = nullptr;
    --fLength;
    return tail;
}

void OSQueue::Remove(OSQueueElem* elem) {
    Assert(elem != nullptr);
    Assert(elem != &fSentinel);
    // The sentinel names no queue, so it is left alone here too.
    if (elem == nullptr || elem->fCurrentQueue != this) return;
    elem->fNext->fPrev = elem->fPrev;
    elem->fPrev->fNext = elem->fNext;
    elem->fCurrentQueue = nullptr;
    --fLength;
}

OSQueueIterator::OSQueueIterator(OSQueue* queue) : fQueue(queue), fCurrent(nullptr) {
    if (fQueue != nullptr && !fQueue->IsRingEmpty()) fCurrent = fQueue->fSentinel.fPrev;
}

void OSQueueIterator::Next() {
    if (fCurrent == nullptr) return;
    if (fCurrent == fQueue->GetHead()) {
        fCurrent = nullptr;
        return;
    }
    fCurrent = fCurrent->fPrev;
    // Reached when the current element was the head at the time it was removed.
    if (fCurrent == &fQueue->fSentinel) fCurrent = nullptr;
}

void OSBlockingQueue::Enqueue(OSQueueElem* elem) {
    {
        OSMutexLocker locker(&fMutex);
        fQueue.Enqueue(elem);
    }
    // On every call, even when the element was queued already: the consumer's next wait
    // then returns at once.
    fCond.Signal();
}

void OSBlockingQueue::EnqueueQuietly(OSQueueElem* elem) {
    OSMutexLocker locker(&fMutex);
    fQueue.Enqueue(elem);
}

OSQueueElem* OSBlockingQueue::Dequeue() {
    OSMutexLocker locker(&fMutex);
    return fQueue.Dequeue();
}

OSQueueElem* OSBlockingQueue::DequeueWaiting(OSThread* /*thread*/, int32_t timeoutMSec) {
    OSMutexLocker locker(&fMutex);
    // One wait, no loop: a wake-up or a time-out ends it, and the caller comes back.
    if (fQueue.GetLength() == 0) fCond.Wait(&fMutex, timeoutMSec);
    return fQueue.Dequeue();
}

uint32_t OSBlockingQueue::GetLength() {
    OSMutexLocker locker(&fMutex);
    return fQueue.GetLength();
}
