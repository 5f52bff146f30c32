#include "OSMutex.h"

#include "OSAssert.h"

void OSMutex::TakeFirstHold(uint32_t thread) {
    Assert(fHolder.load(std::memory_order_relaxed) == 0);
    fHolder.store(thread, std::memory_order_relaxed);
    ++fHolderCount;
    Assert(fHolderCount == 1);
}

void OSMutex::Lock() {
    const uint32_t thread = Platform::CurrentThreadId();
    if (fHolder.load(std::memory_order_relaxed) == thread) {
        ++fHolderCount;
        return;
    }
    fCriticalSection.Enter();
    TakeFirstHold(thread);
}

void OSMutex::Unlock() {
    if (fHolder.load(std::memory_order_relaxed) != Platform::CurrentThreadId()) return;
    Assert(fHolderCount > 0);
    if (--fHolderCount == 0) {
        fHolder.store(0, std::memory_order_relaxed);
        fCriticalSection.Leave();
    }
}

Bool16 OSMutex::TryLock() {
    const uint32_t thread = Platform::CurrentThreadId();
    if (fHolder.load(std::memory_order_relaxed) == thread) {
        ++fHolderCount;
        return 1;
    }
    if (!fCriticalSection.TryEnter()) return 0;
    TakeFirstHold(thread);
    return 1;
}

void OSReadWriteMutex::LockRead() {
    OSMutexLocker locker(&fMutex);
    ++fWaitingReaders;
    while (fState < 0 || fWaitingWriters > 0)
        fReadersCond.Wait(&fMutex, kRWWaitSliceMSec);
    --fWaitingReaders;
    ++fState;
}

void OSReadWriteMutex::LockWrite() {
    OSMutexLocker locker(&fMutex);
    ++fWaitingWriters;
    while (fState != 0)
        fWritersCond.Wait(&fMutex, kRWWaitSliceMSec);
    --fWaitingWriters;
    fState = -1;
}

void OSReadWriteMutex::Unlock() {
    OSMutexLocker locker(&fMutex);
    if (fState < 0) {
        fState = 0;
        if (fWaitingWriters > 0) {
            fWritersCond.Signal();
        } else {
            fReadersCond.Broadcast();
        }
        return;
    }
    if (--fState <= 0) {
        fState = 0;
        fWritersCond.Signal();
    }
}

int32_t OSReadWriteMutex::TryLockWrite() {
    OSMutexLocker locker(&fMutex);
    if (fState != 0 || fWaitingWriters > 0) return EBUSY;
    LockWrite();
    return 0;
}

int32_t OSReadWriteMutex::TryLockRead() {
    OSMutexLocker locker(&fMutex);
    if (fState < 0 || fWaitingWriters > 0) return EBUSY;
    LockRead();
    return 0;
}

int32_t OSReadWriteMutex::WaitingReaders() {
    OSMutexLocker locker(&fMutex);
    return fWaitingReaders;
}

int32_t OSReadWriteMutex::WaitingWriters() {
    OSMutexLocker locker(&fMutex);
    return fWaitingWriters;
}
