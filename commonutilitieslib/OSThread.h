/// @file
/// Threads started by the runtime, with a thread-local pointer back to their object.
#pragma once

#include <atomic>
#include <cstdint>

#include "OSTypes.h"
#include "platform/Platform.h"

/// A thread of the runtime's own: a subclass supplies Entry, the thread's body.
class OSThread {
public:
    /// Allocates the thread-local slot; called once before any OSThread is started.
    static void Initialize();
    /// The calling thread's OSThread, or null for threads the runtime did not start.
    static OSThread* GetCurrent();
    /// Blocks the calling thread for the time.
    static void Sleep(uint32_t milliseconds);
    /// Does nothing: the task threads and the event loop call it after every unit of work.
    static void Yield() {}
    /// The calling thread's last platform error as a runtime error number.
    static int32_t LastErrorCode();
    /// The same for a platform error code in hand.
    static int32_t ErrorCodeOf(uint32_t platformError);

    OSThread() = default;
    /// Requests the stop and joins the thread (once) if it was started.
    virtual ~OSThread();
    OSThread(const OSThread&) = delete;
    OSThread& operator=(const OSThread&) = delete;

    /// The thread's body, run on the new thread; it ends once IsStopRequested says so.
    virtual void Entry() = 0;

    /// Starts the thread, once; a failure is reported by assertion.
    void Start();
    /// Asks the thread to stop; any thread.
    void SendStopRequest() { fStopRequested.store(1, std::memory_order_release); }
    /// Whether a stop was asked for; any thread.
    Bool16 IsStopRequested() const { return fStopRequested.load(std::memory_order_acquire); }
    /// Waits for the started thread to end; once (a second call is asserted).
    void Join();
    /// SendStopRequest, then Join unless joined already.
    void StopAndWaitForThread();

private:
    static void RunEntry(void* thread);

    static uint32_t sThreadStorageIndex;

    // Written by the stopping thread, polled by the thread's own body without a lock.
    std::atomic<Bool16> fStopRequested{0};
    Bool16 fJoined = 0;
    Platform::ThreadHandle fThreadHandle = 0;
};
