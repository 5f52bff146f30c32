/// @file
/// Recursive mutex, read/write lock with writer preference, and their scoped holders.
#pragma once

#include <atomic>
#include <cstdint>

#include "OSCond.h"
#include "OSTypes.h"
#include "platform/Platform.h"

/// A recursive mutex that keeps its own holder and depth on top of a platform lock, so a
/// re-lock by the holder touches no platform lock at all.
class OSMutex {
public:
    OSMutex() = default;
    OSMutex(const OSMutex&) = delete;
    OSMutex& operator=(const OSMutex&) = delete;

    /// Takes the mutex, waiting for another holder; the holder may take it again.
    void Lock();
    void Unlock();  ///< Releases one hold; ignored when the calling thread is not the holder.
    /// Takes the mutex without waiting: 1 when taken, 0 when another thread holds it.
    Bool16 TryLock();

private:
    void TakeFirstHold(uint32_t thread);

    Platform::CriticalSection fCriticalSection;
    // Read without the lock: only the holder can find its own id here.
    std::atomic<uint32_t> fHolder{0};
    uint32_t fHolderCount = 0;
};

/// Holds an OSMutex for the extent of a scope; a null mutex makes it do nothing.
class OSMutexLocker {
public:
    /// Locks the mutex, if any, until the holder goes out of scope.
    explicit OSMutexLocker(OSMutex* mutex) : fMutex(mutex) {
        if (fMutex != nullptr) fMutex->Lock();
    }
    ~OSMutexLocker() {
        if (fMutex != nullptr) fMutex->Unlock();
    }
    OSMutexLocker(const OSMutexLocker&) = delete;
    OSMutexLocker& operator=(const OSMutexLocker&) = delete;

private:
    OSMutex* fMutex;
};

/// Shared/exclusive lock. A reader that arrives while a writer waits waits too, and a
/// releasing writer hands over to the next writer before any reader.
class OSReadWriteMutex {
public:
    /// Each wait re-examines the state after this slice, so in effect waits are unlimited.
    static constexpr int32_t kRWWaitSliceMSec = 0x0FFFFFFF;

    OSReadWriteMutex() = default;
    OSReadWriteMutex(const OSReadWriteMutex&) = delete;
    OSReadWriteMutex& operator=(const OSReadWriteMutex&) = delete;

    void LockRead();         ///< Takes a shared hold, waiting while a writer holds or waits.
    void LockWrite();        ///< Takes the exclusive hold, waiting for every holder.
    void Unlock();           ///< Gives back one hold, shared or exclusive.
    int32_t TryLockRead();   ///< 0, or EBUSY without waiting
    int32_t TryLockWrite();  ///< 0, or EBUSY without waiting

    /// Threads waiting to acquire a shared hold, for diagnostics: the count may change at
    /// once.
    int32_t WaitingReaders();
    /// Threads waiting to acquire the exclusive hold, for diagnostics.
    int32_t WaitingWriters();

private:
    OSMutex fMutex;
    OSCond fReadersCond;
    OSCond fWritersCond;
    int32_t fState = 0;  // readers holding when positive, -1 while a writer holds
    int32_t fWaitingWriters = 0;
    int32_t fWaitingReaders = 0;
};

/// The common part of the read and write holders: gives the hold back when it goes out of
/// scope.
class OSMutexReadWriteLocker {
public:
    /// Takes no hold: the subclass does.
    explicit OSMutexReadWriteLocker(OSReadWriteMutex* mutex) : fRWMutex(mutex) {}
    virtual ~OSMutexReadWriteLocker() {
        if (fRWMutex != nullptr) fRWMutex->Unlock();
    }
    OSMutexReadWriteLocker(const OSMutexReadWriteLocker&) = delete;
    OSMutexReadWriteLocker& operator=(const OSMutexReadWriteLocker&) = delete;

protected:
    OSReadWriteMutex* fRWMutex;  ///< The lock held.
};

/// Holds a read/write lock shared for the extent of a scope.
class OSMutexReadLocker : public OSMutexReadWriteLocker {
public:
    /// Takes the shared hold.
    explicit OSMutexReadLocker(OSReadWriteMutex* mutex) : OSMutexReadWriteLocker(mutex) {
        fRWMutex->LockRead();
    }
};

/// Holds a read/write lock exclusively for the extent of a scope.
class OSMutexWriteLocker : public OSMutexReadWriteLocker {
public:
    /// Takes the exclusive hold.
    explicit OSMutexWriteLocker(OSReadWriteMutex* mutex) : OSMutexReadWriteLocker(mutex) {
        fRWMutex->LockWrite();
    }
};

/// The lock under which task threads run every task: shared by default, exclusive for a
/// task that asked for the global lock.
extern OSReadWriteMutex sGlobalRWMutex;
