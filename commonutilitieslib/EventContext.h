/// @file
/// Event contexts bind one socket to one task: when the socket becomes ready, the event loop
/// signals the task with Task::kReadEvent.
///
/// Every armed socket holds one of the 7,169 message numbers (1024 to 8192) from its first
/// arming until it is disposed, so a process arms at most 7,169 sockets at once (the
/// listeners and datagram sockets among them). Past that, ArmEvent answers
/// kErrNoMessageNumber and the socket gets no notification until a number comes free; the
/// owner must close it or try again later. A host stays under the limit by capping its
/// connections below it, or by spreading them over several processes.
#pragma once

#include <cstdint>

#include "OSRef.h"
#include "OSThread.h"
#include "OSTypes.h"
#include "StrPtrLen.h"
#include "win32ev.h"

class EventLoopThread;
class Task;

/// One socket bound to the task its notifications signal. The owning task arms it from its
/// runs; the event loop's thread delivers.
class EventContext {
public:
    /// Message numbers identify a socket's notifications: 1024 to 8192.
    static constexpr uint32_t kFirstMessageNumber = kFirstSocketMessage;
    static constexpr uint32_t kLastMessageNumber = kLastSocketMessage;  ///< The last number.
    /// How many sockets a process can arm at once: 7,169.
    static constexpr uint32_t kMessageNumberCount = kLastMessageNumber - kFirstMessageNumber + 1;

    /// The socket may be -1 (none yet). The event loop must outlive the context; a context
    /// made before there is one cannot be armed.
    EventContext(int32_t socket, EventLoopThread* eventLoop);
    /// Disposes the context when fCloseOnDestroy is set.
    virtual ~EventContext();
    EventContext(const EventContext&) = delete;
    EventContext& operator=(const EventContext&) = delete;

    /// Called by the event loop for every delivery: signals the task with kReadEvent,
    /// whatever the bits. Runs on the event loop's thread, so it must not dispose the
    /// context.
    virtual void OnEvent(uint32_t eventBits);

    /// Takes the handle and makes it non-blocking.
    void SetNonBlocking(int32_t socket);
    /// Unregisters the context (waiting for a delivery in progress) and closes its socket.
    void Dispose();
    /// Arms the socket for one notification (kWatchRead, kWatchWrite). The first call gives
    /// the socket its message number and registers the context under it. 0; or
    /// kErrNoMessageNumber when no number is free (or there is no event loop): the context
    /// stays unarmed, the first failure of a run of them is reported by assertion, and a
    /// later call tries again; or the platform's error of a failed watch, reported by
    /// assertion: the context stays registered and the next call tries again.
    int32_t ArmEvent(uint32_t eventBits);
    /// Gives the context its message number and registers it without watching the socket
    /// yet, so that an owner learns before it relies on notifications whether the socket
    /// can have any. 0 (also when it has its number already) or kErrNoMessageNumber,
    /// reported by no assertion: the caller says what it turned away.
    int32_t ReserveMessageNumber();
    void SetTask(Task* task);  ///< The task that notifications signal from now on.
    /// Moves the other context's registration (not its handle) to this one, which was built
    /// on the same socket; the other context no longer closes the socket.
    void TakeOver(EventContext* other);

    int32_t GetSocketFD() const { return fSocket; }  ///< The handle; -1 for none.
    /// The socket the context's notifications name: the one it was armed with.
    int32_t GetWatchedSocket() const { return fRequest.fSocket; }
    /// The message number held; 0 before the first arming.
    uint32_t GetMessageNumber() const { return fMessageNumber; }
    /// Armed since it was opened: it holds a message number and its socket is watched.
    Bool16 IsArmed() const { return fArmed; }
    Task* GetTask() const { return fTask; }  ///< The task signalled; not owned.

protected:
    int32_t fSocket;              ///< The handle; -1 for none.
    EventRequest fRequest;        ///< The watch record handed to the readiness source.
    OSRef fRegistryEntry;         ///< The entry in the event loop's context table.
    uint32_t fMessageNumber = 0;  ///< 0 until the first arming.
    StrPtrLen fMessageKey;        ///< The four bytes of fMessageNumber: the registry name.
    EventLoopThread* fEventLoop;  ///< Not owned.
    Bool16 fArmed = 0;            ///< See IsArmed.
    Bool16 fCloseOnDestroy = 1;   ///< The destructor disposes the context.
    Task* fTask = nullptr;        ///< Not owned.

private:
    void PointRegistryEntryAtThis();
    // Registers the context under a free message number; false when none is free.
    bool Register();
};

/// The thread that takes readiness notifications and hands each to its context. The runtime
/// has exactly one; it runs for the life of the process and is never destroyed.
class EventLoopThread : public OSThread {
public:
    /// A message number hashes to 4 * (its low byte + its second byte): 284 values, all
    /// multiples of 4. Any odd count of at least 284 buckets gives each its own; this one
    /// does so in little memory.
    static constexpr uint32_t kContextTableBuckets = 293;
    /// A readiness wait that fails is tried again after this pause, and reported once per
    /// run of failures, so that a persistent failure is no hot loop.
    static constexpr uint32_t kFailedWaitPauseMSec = 10;

    EventLoopThread() : fContextTable(kContextTableBuckets) {}

    void Entry() override;

    OSRefRegistry fContextTable;  ///< The armed contexts, by message number.

private:
    // Hands one notification to its context, if it is still meant for that context's
    // socket.
    void Dispatch(const EventRequest& request);
};

/// The next message number to hand out, process-wide; test-and-advance is one indivisible
/// step, so numbers never leave 1024 to 8192.
extern uint32_t sNextMessageNumber;
/// Hands out the next message number, 1024 to 8192, wrapping; any thread.
uint32_t AllocateMessageNumber();
