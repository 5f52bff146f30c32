#include "Task.h"

#include <cstdio>
#include <cstring>

#include "OS.h"
#include "OSAssert.h"
#include "OSAtomic.h"
#include "OSMutex.h"

namespace {

// Build-time switch for the scheduler's trace lines.
constexpr bool kTaskTrace = false;

#define TASK_TRACE(...)                                     \
    do {                                                    \
        if constexpr (kTaskTrace) std::printf(__VA_ARGS__); \
    } while (0)

constexpr char kLivePrefix[] = "live_";
constexpr size_t kLivePrefixLength = sizeof(kLivePrefix) - 1;
constexpr char kDeletedMark = 'D';

// For the trace lines alone, which are compiled out unless switched on.
[[maybe_unused]] unsigned long Unsigned(const void* address) {
    return (unsigned long)(uintptr_t)address;
}
[[maybe_unused]] long Signed(const void* address) {
    return (long)(intptr_t)address;
}

[[maybe_unused]] float SecondsSinceStart() {
    return float((OS::Milliseconds() - OS::sInitialMSec) / 1000.0);
}

// The prefix of a task's name is rewritten while other threads may be checking it, so its
// characters are accessed indivisibly.
std::atomic_ref<char> NameCharacter(const char* name, size_t index) {
    return std::atomic_ref<char>(const_cast<char*>(name)[index]);
}

// The open batch of the calling thread, if any.
thread_local constinit TaskWakeUpBatch* tOpenBatch = nullptr;

// Marks a signal that has seen the pool's count and may still queue on one of its threads.
class SignalInFlight {
public:
    explicit SignalInFlight(std::atomic<uint32_t>& count) : fCount(count) {
        fCount.fetch_add(1, std::memory_order_seq_cst);
    }
    ~SignalInFlight() { fCount.fetch_sub(1, std::memory_order_release); }
    SignalInFlight(const SignalInFlight&) = delete;
    SignalInFlight& operator=(const SignalInFlight&) = delete;

private:
    std::atomic<uint32_t>& fCount;
};

}  // namespace

// ---- Task ----------------------------------------------------------------------------------

Task::Task() : fTimerHeapElem(this), fTaskQueueElem(this) {
    fTaskName[0] = '\0';
    SetTaskName("unknown");
}

void Task::SetTaskName(const char* name) {
    if (name == nullptr) return;
    // A live task's prefix is left as it is, so that it reads as valid all through the
    // rename; otherwise the first character goes in last.
    if (!HasLivePrefix()) {
        for (size_t i = 1; i < kLivePrefixLength; ++i)
            NameCharacter(fTaskName, i).store(kLivePrefix[i], std::memory_order_relaxed);
        NameCharacter(fTaskName, 0).store(kLivePrefix[0], std::memory_order_release);
    }
    char* tail = fTaskName + kLivePrefixLength;
    const size_t room = kTaskNameSize - kLivePrefixLength;
    const size_t length = strnlen(name, room - 1);
    std::memcpy(tail, name, length);
    std::memset(tail + length, 0, room - length);
}

bool Task::HasLivePrefix() const {
    for (size_t i = 0; i < kLivePrefixLength; ++i) {
        if (NameCharacter(fTaskName, i).load(std::memory_order_relaxed) != kLivePrefix[i])
            return false;
    }
    return true;
}

Bool16 Task::Valid() const {
    const bool valid = HasLivePrefix();
    if (!valid) TASK_TRACE(" Task::Valid Found invalid task = %ld\n", Signed(this));
    return valid ? 1 : 0;
}

void Task::Signal(uint32_t events) {
    if (!Valid()) return;
    const uint32_t previous = AtomicOr(&fEvents, events | kScheduledBit);
    if ((previous & kScheduledBit) == 0) {
        // This call turned the task from idle to scheduled: it queues it, if there are
        // threads to queue it on.
        SignalInFlight inFlight(TaskThreadPool::sSignalsInFlight);
        const uint32_t threadCount =
            TaskThreadPool::sNumTaskThreads.load(std::memory_order_seq_cst);
        if (threadCount != 0) {
            Queue(threadCount);
            return;
        }
    }
    TASK_TRACE("Task::Signal sent to dead TaskName=%s  q elem=%lu  enclosing=%lu\n", fTaskName,
               Unsigned(&fTaskQueueElem), Unsigned(this));
}

void Task::Queue(uint32_t threadCount) {
    TaskThread* target = fUseThisThread.load(std::memory_order_relaxed);
    if (target != nullptr) {
        TASK_TRACE("Task::Signal enque TaskName=%s fUseThisThread=%lu q elem=%lu enclosing=%lu\n",
                   fTaskName, Unsigned(target), Unsigned(&fTaskQueueElem), Unsigned(this));
    } else {
        const uint32_t turn = AtomicAdd(&TaskThreadPool::sRoundRobinCounter, 1);
        target = TaskThreadPool::sTaskThreadArray[turn % threadCount];
        TASK_TRACE("Task::Signal enque TaskName=%s thread=%lu q elem=%lu enclosing=%lu\n",
                   fTaskName, Unsigned(target), Unsigned(&fTaskQueueElem), Unsigned(this));
    }
    TaskWakeUpBatch* batch = tOpenBatch;
    if (batch != nullptr && batch->Hold(target)) {
        target->fTaskQueue.EnqueueQuietly(&fTaskQueueElem);
    } else {
        target->fTaskQueue.Enqueue(&fTaskQueueElem);
    }
}

uint32_t Task::GetEvents() const {
    return AtomicRead(&fEvents);
}

uint32_t Task::TakeEvents() {
    const uint32_t events = AtomicRead(&fEvents) & ~kScheduledBit;
    AtomicSub(&fEvents, int32_t(events));
    return events;
}

void Task::ReleaseGlobalLock() {
    if (!fGlobalWriteLock) return;
    fGlobalWriteLock = 0;
    // Only a hold this run really has is given up, and only once.
    if (fHoldsGlobalWriteLock) {
        fHoldsGlobalWriteLock = 0;
        sGlobalRWMutex.Unlock();
    }
}

// ---- TaskThread ----------------------------------------------------------------------------

TaskThread::TaskThread() : fHeap(kTimerHeapStartSize) {}

TaskThread::~TaskThread() {
    StopAndWaitForThread();
}

int32_t TaskThread::WaitMSecFor(int64_t untilDue) {
    if (untilDue < kMinWaitMSec) return int32_t(kMinWaitMSec);
    // A far timer is waited for in slices: cutting the difference to 32 bits could make it
    // zero or negative, which the queue takes as "no limit".
    return untilDue > INT32_MAX ? INT32_MAX : int32_t(untilDue);
}

Task* TaskThread::WaitForTask() {
    for (;;) {
        // The clock (and its lock) only when a timer is parked.
        OSHeapElem* due = fHeap.PeekMin();
        const int64_t now = due != nullptr ? OS::Milliseconds() : 0;
        if (due != nullptr && due->GetValue() <= now) {
            auto* task = static_cast<Task*>(due->GetEnclosingObject());
            TASK_TRACE(
                "TaskThread::WaitForTask found timer-task=%s thread %lu "
                "fHeap.CurrentHeapSize(%lu) taskElem = %lu enclose=%lu\n",
                task->fTaskName, Unsigned(this), (unsigned long)fHeap.CurrentHeapSize(),
                Unsigned(due), Unsigned(task));
            fHeap.ExtractMin();
            return task;
        }

        const int64_t untilDue = due != nullptr ? due->GetValue() - now : 0;
        Assert(untilDue >= 0);
        OSQueueElem* element = fTaskQueue.DequeueWaiting(this, WaitMSecFor(untilDue));
        if (element != nullptr) {
            auto* task = static_cast<Task*>(element->GetEnclosingObject());
            TASK_TRACE(
                "TaskThread::WaitForTask found signal-task=%s thread %lu "
                "fTaskQueue.GetLength(%lu) taskElem = %lu enclose=%lu\n",
                task->fTaskName, Unsigned(this), (unsigned long)fTaskQueue.GetLength(),
                Unsigned(element), Unsigned(task));
            return task;
        }
        OSThread* current = OSThread::GetCurrent();
        if (current != nullptr && current->IsStopRequested()) return nullptr;
    }
}

void TaskThread::Entry() {
    for (;;) {
        Task* task = WaitForTask();
        if (task == nullptr) return;
        // A task that is no longer valid is being destroyed: it is dropped, neither run nor
        // deleted, and this thread goes on serving the rest of its queue.
        if (!task->Valid()) continue;
        RunTask(task);
    }
}

int64_t TaskThread::RunOnce(Task* task) {
    task->fUseThisThread.store(nullptr, std::memory_order_relaxed);
    if (!task->fGlobalWriteLock) {
        OSMutexReadLocker locker(&sGlobalRWMutex);
        TASK_TRACE("TaskThread::Entry run TaskName=%s CurMSec=%.3f thread=%ld task=%ld\n",
                   task->fTaskName, double(SecondsSinceStart()), Signed(this), Signed(task));
        return task->Run();
    }
    // The task may give the exclusive hold up itself during the run (ReleaseGlobalLock);
    // whatever it still holds is released here, so the lock is released exactly once.
    sGlobalRWMutex.LockWrite();
    task->fHoldsGlobalWriteLock = 1;
    TASK_TRACE("TaskThread::Entry run global locked TaskName=%s CurMSec=%.3f thread=%ld task=%ld\n",
               task->fTaskName, double(SecondsSinceStart()), Signed(this), Signed(task));
    const int64_t result = task->Run();
    task->fGlobalWriteLock = 0;
    if (task->fHoldsGlobalWriteLock) {
        task->fHoldsGlobalWriteLock = 0;
        sGlobalRWMutex.Unlock();
    }
    return result;
}

void TaskThread::RunTask(Task* task) {
    for (;;) {
        const int64_t result = RunOnce(task);
        if (result < 0) {
            DeleteTask(task);
            return;
        }
        if (result == 0) {
            // Idle, unless events arrived since the task took them: then run it again now.
            if (CompareAndStore(Task::kScheduledBit, 0, &task->fEvents)) return;
            OSThread::Yield();
            continue;
        }
        TASK_TRACE(
            "TaskThread::Entry insert TaskName=%s in timer heap thread=%lu elem=%lu task=%ld "
            "timeout=%.2f\n",
            task->fTaskName, Unsigned(this), Unsigned(&task->fTimerHeapElem), Signed(task),
            double(result) / 1000.0);
        // Parked: the scheduled bit stays set, so signals meanwhile only add their bits.
        const int64_t now = OS::Milliseconds();
        task->fTimerHeapElem.SetValue(result > INT64_MAX - now ? INT64_MAX : now + result);
        fHeap.Insert(&task->fTimerHeapElem);
        AtomicOr(&task->fEvents, Task::kTimerEvent);
        return;
    }
}

void TaskThread::DeleteTask(Task* task) {
    if constexpr (kTaskTrace) {
        std::printf("TaskThread::Entry delete TaskName=%s CurMSec=%.3f thread=%ld task=%ld\n",
                    task->fTaskName, double(SecondsSinceStart()), Signed(this), Signed(task));
        task->fUseThisThread.store(nullptr, std::memory_order_relaxed);
        if (fHeap.Remove(&task->fTimerHeapElem) != nullptr)
            std::printf("TaskThread::Entry task still in heap before delete\n");
        if (OSQueue* queue = task->fTaskQueueElem.GetCurrentQueue()) {
            std::printf("TaskThread::Entry task still in queue before delete\n");
            queue->Remove(&task->fTaskQueueElem);
        }
        if ((AtomicRead(&task->fEvents) & ~Task::kScheduledBit) != 0)
            std::printf("TaskThread::Entry flags still set  before delete\n");
        std::strncat(task->fTaskName, " deleted",
                     Task::kTaskNameSize - 1 - std::strlen(task->fTaskName));
    }
    // From here on Valid is false: a signal that arrives during destruction is dropped.
    NameCharacter(task->fTaskName, 0).store(kDeletedMark, std::memory_order_relaxed);
    delete task;
}

// ---- TaskThreadPool ------------------------------------------------------------------------

TaskThread** TaskThreadPool::sTaskThreadArray = nullptr;
std::atomic<uint32_t> TaskThreadPool::sNumTaskThreads{0};
uint32_t TaskThreadPool::sRoundRobinCounter = 0;
std::atomic<uint32_t> TaskThreadPool::sSignalsInFlight{0};

Bool16 TaskThreadPool::AddThreads(uint32_t count) {
    Assert(sTaskThreadArray == nullptr);
    if (sTaskThreadArray != nullptr) return 1;
    sTaskThreadArray = new TaskThread*[count];
    for (uint32_t i = 0; i < count; ++i) {
        sTaskThreadArray[i] = new TaskThread;
        sTaskThreadArray[i]->Start();
    }
    // Published last: a signal that sees the count finds every thread in place.
    sNumTaskThreads.store(count, std::memory_order_release);
    return 1;
}

void TaskThreadPool::RemoveThreads() {
    const uint32_t count = sNumTaskThreads.load(std::memory_order_acquire);
    for (uint32_t i = 0; i < count; ++i)
        sTaskThreadArray[i]->SendStopRequest();
    // Wake threads waiting on empty queues so they see the request at once.
    for (uint32_t i = 0; i < count; ++i)
        sTaskThreadArray[i]->fTaskQueue.GetCond()->Signal();
    // Every thread ends before any is deleted: a task still draining on one thread may
    // signal a task queued for another.
    for (uint32_t i = 0; i < count; ++i)
        sTaskThreadArray[i]->StopAndWaitForThread();
    // From here on signals are recorded and never scheduled; one that saw the old count
    // finishes queueing before its thread goes.
    sNumTaskThreads.store(0, std::memory_order_seq_cst);
    while (sSignalsInFlight.load(std::memory_order_acquire) != 0)
        OSThread::Sleep(1);
    for (uint32_t i = 0; i < count; ++i) {
        delete sTaskThreadArray[i];
        sTaskThreadArray[i] = nullptr;
    }
}

// ---- TaskWakeUpBatch -----------------------------------------------------------------------

TaskWakeUpBatch::TaskWakeUpBatch() : fOuter(tOpenBatch) {
    // In flight while open: the threads it holds must outlive it.
    TaskThreadPool::sSignalsInFlight.fetch_add(1, std::memory_order_seq_cst);
    tOpenBatch = this;
}

TaskWakeUpBatch::~TaskWakeUpBatch() {
    tOpenBatch = fOuter;
    for (uint32_t i = 0; i < fCount; ++i)
        fThreads[i]->fTaskQueue.GetCond()->Signal();
    TaskThreadPool::sSignalsInFlight.fetch_sub(1, std::memory_order_release);
}

bool TaskWakeUpBatch::Hold(TaskThread* thread) {
    for (uint32_t i = 0; i < fCount; ++i) {
        if (fThreads[i] == thread) return true;
    }
    if (fCount == kCapacity) return false;
    fThreads[fCount++] = thread;
    return true;
}
