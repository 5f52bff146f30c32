/// @file
/// Tasks, the task threads that run them, and the pool those threads form.
///
/// A task is signalled with event bits from any thread. The signal that turns the task from
/// idle to scheduled queues it on one task thread; only that thread clears the scheduled bit
/// again, so a task is queued at most once and run by one thread at a time.
#pragma once

#include <atomic>
#include <cstdint>

#include "OSHeap.h"
#include "OSQueue.h"
#include "OSThread.h"
#include "OSTypes.h"

class TaskThread;

/// A unit of work run by a task thread when signalled. A subclass supplies Run; the task is
/// made with new and, once Run answers negative, deleted by its thread.
class Task {
public:
    static constexpr uint32_t kTaskNameSize = 48;  ///< The name's bytes, its NUL included.

    // The event word. Bits 0 to 30 carry the callers' events; bit 31 marks a task that is
    // queued, running or parked.
    static constexpr uint32_t kScheduledBit = 0x80000000;  ///< Queued, running or parked.
    static constexpr uint32_t kTimerEvent = 0x00000002;    ///< A timer's event bit.
    static constexpr uint32_t kReadEvent = 0x00000010;     ///< A socket is ready.

    Task();
    virtual ~Task() = default;
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    /// The task's work. Negative: finished, its thread deletes it. 0: nothing more until the
    /// next signal. Positive: run again after that many milliseconds.
    virtual int64_t Run() = 0;

    /// Stores "live_" followed by the name, cut to fit; a null name changes nothing.
    void SetTaskName(const char* name);
    const char* GetTaskName() const { return fTaskName; }  ///< With its "live_" prefix.
    /// The name still begins with "live_": the object is a task not yet deleted.
    Bool16 Valid() const;

    /// The event word as it stands (for diagnostics; it may change at any moment).
    uint32_t GetEvents() const;

    /// Sets the bits and schedules the task if it was idle. Any thread, any time while the
    /// task exists.
    void Signal(uint32_t events);

    /// The pending events (bits 0 to 30), cleared; bits signalled meanwhile survive. Called
    /// from Run.
    uint32_t TakeEvents();

    /// Gives up the exclusive hold of the global lock taken for this run, if there is one.
    void ReleaseGlobalLock();

protected:
    /// The task thread whose run queue the next scheduling signal uses (any when null).
    /// Cleared by the thread before every run.
    std::atomic<TaskThread*> fUseThisThread{nullptr};
    /// Run next time with the global lock held exclusively; cleared after that run.
    Bool16 fGlobalWriteLock = 0;

private:
    friend class TaskThread;

    // The name begins with "live_". Its five characters are read and written one by one,
    // indivisibly: other threads look at them while the task is renamed or deleted.
    bool HasLivePrefix() const;
    // Puts the task on a thread's run queue: its own choice, or the next in turn.
    void Queue(uint32_t threadCount);

    char fTaskName[kTaskNameSize];
    uint32_t fEvents = 0;  // changed only by the atomic operations
    // Set by the task thread while this run holds the global lock exclusively, so that the
    // hold is released exactly once, by whoever clears fGlobalWriteLock.
    Bool16 fHoldsGlobalWriteLock = 0;
    OSHeapElem fTimerHeapElem;
    OSQueueElem fTaskQueueElem;
};

/// A thread that runs the tasks of its run queue and its timer heap, one at a time, under
/// the global lock. The pool makes and deletes them.
class TaskThread : public OSThread {
public:
    static constexpr uint32_t kTimerHeapStartSize = 1024;  ///< The timer heap's first size.
    /// The shortest wait on the run queue: idle threads look again every 10 ms.
    static constexpr int64_t kMinWaitMSec = 10;

    TaskThread();
    ~TaskThread() override;

    void Entry() override;

    /// How long to wait on the run queue when the earliest timer is due in `untilDue` ms
    /// (0 with no timer): at least kMinWaitMSec, and never so long that it would read as
    /// "no limit" or pass the timer.
    static int32_t WaitMSecFor(int64_t untilDue);

private:
    friend class Task;
    friend class TaskThreadPool;
    friend class TaskWakeUpBatch;

    // The next task to run on this thread: due timers first, then the run queue. Null once
    // a stop was requested and nothing is left to do now.
    Task* WaitForTask();
    // Runs the task until this thread is done with it: re-runs it at once while events
    // arrived during its run, parks it or deletes it as Run's result says.
    void RunTask(Task* task);
    int64_t RunOnce(Task* task);
    void DeleteTask(Task* task);

    OSHeap fHeap;
    OSBlockingQueue fTaskQueue;
};

/// The process's task threads, all static. Signals spread tasks over them in turn.
class TaskThreadPool {
public:
    /// Creates and starts the threads, then publishes their number. Once per process (a
    /// second call is reported by assertion and changes nothing). Always 1.
    static Bool16 AddThreads(uint32_t count);
    /// Stops every thread after it has emptied its run queue, publishes the count 0 (later
    /// signals are recorded and never scheduled), and deletes the threads once no signal is
    /// still queueing a task.
    static void RemoveThreads();

    static TaskThread** sTaskThreadArray;  ///< The threads; owned by the pool.
    /// The threads' count. Read by Task::Signal on any thread without a lock.
    static std::atomic<uint32_t> sNumTaskThreads;
    static uint32_t sRoundRobinCounter;  ///< The next thread in turn; changed only by AtomicAdd.

private:
    friend class Task;
    friend class TaskWakeUpBatch;

    // Signals between their look at the count and the end of their queueing: the threads
    // they chose must outlive them.
    static std::atomic<uint32_t> sSignalsInFlight;
};

/// While one is open on a thread, the task threads that the thread's signals queue tasks for
/// are woken when it closes, once each, instead of at every signal: a thread that hands out
/// a burst of work (the event loop with many sockets ready at once) wakes each task thread
/// once, after the whole burst is queued, and is not overtaken by the first task it wakes.
/// The tasks are queued at once; only the wake-ups wait.
class TaskWakeUpBatch {
public:
    TaskWakeUpBatch();   ///< Opens a batch on the calling thread; batches nest.
    ~TaskWakeUpBatch();  ///< Closes it, waking the threads it held.
    TaskWakeUpBatch(const TaskWakeUpBatch&) = delete;
    TaskWakeUpBatch& operator=(const TaskWakeUpBatch&) = delete;

private:
    friend class Task;
    static constexpr uint32_t kCapacity = 16;

    // Takes the thread's wake-up; false when the batch is full and the caller must wake it.
    bool Hold(TaskThread* thread);

    TaskWakeUpBatch* fOuter;
    TaskThread* fThreads[kCapacity];
    uint32_t fCount = 0;
};
