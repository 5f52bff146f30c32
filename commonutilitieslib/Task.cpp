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

unsigned long Unsigned(const void* address) {
    return (unsigned long)(uintptr_t)address;
}
long Signed(const void* address) {
    return (long)(intptr_t)address;
}

float SecondsSinceStart() {
    return float((OS::Milliseconds() - OS::sInitialMSec) / 1000.0);
}

// The first character of a task's name is rewritten while other threads may be checking
// it, so it is accessed indivisibly.
std::atomic_ref<char> FirstCharacter(char* name) {
    return std::atomic_ref<char>(*name);
}

}  // namespace

// ---- Task ----------------------------------------------------------------------------------

Task::Task() : fTimerHeapElem(this), fTaskQueueElem(this) {
    fTaskName[0] = '\0';
    SetTaskName("unknown");
}

void Task::SetTaskName(const char* name) {
    if (name == nullptr) return;
    std::memset(fTaskName + 1, 0, kTaskNameSize - 1);
    std::memcpy(fTaskName + 1, kLivePrefix + 1, kLivePrefixLength - 1);
    FirstCharacter(fTaskName).store(kLivePrefix[0], std::memory_order_relaxed);
    std::strncat(fTaskName, name, kTaskNameSize - 1 - kLivePrefixLength);
}

Bool16 Task::Valid() const {
    char* name = const_cast<char*>(fTaskName);
    const bool valid = FirstCharacter(name).load(std::memory_order_relaxed) == kLivePrefix[0] &&
                       std::memcmp(fTaskName + 1, kLivePrefix + 1, kLivePrefixLength - 1) == 0;
    if (!valid) TASK_TRACE(" Task::Valid Found invalid task = %ld\n", Signed(this));
    return valid ? 1 : 0;
}

void Task::Signal(uint32_t events) {
    if (!Valid()) return;
    const uint32_t previous = AtomicOr(&fEvents, events | kScheduledBit);
    const uint32_t threadCount = TaskThreadPool::sNumTaskThreads.load(std::memory_order_acquire);
    if ((previous & kScheduledBit) != 0 || threadCount == 0) {
        TASK_TRACE("Task::Signal sent to dead TaskName=%s  q elem=%lu  enclosing=%lu\n", fTaskName,
                   Unsigned(&fTaskQueueElem), Unsigned(this));
        return;
    }
    // This call turned the task from idle to scheduled: it queues it.
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
    target->fTaskQueue.Enqueue(&fTaskQueueElem);
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
        const int64_t now = OS::Milliseconds();
        OSHeapElem* due = fHeap.PeekMin();
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
    FirstCharacter(task->fTaskName).store(kDeletedMark, std::memory_order_relaxed);
    delete task;
}

// ---- TaskThreadPool ------------------------------------------------------------------------

TaskThread** TaskThreadPool::sTaskThreadArray = nullptr;
std::atomic<uint32_t> TaskThreadPool::sNumTaskThreads{0};
uint32_t TaskThreadPool::sRoundRobinCounter = 0;

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
    for (uint32_t i = 0; i < count; ++i) {
        delete sTaskThreadArray[i];
        sTaskThreadArray[i] = nullptr;
    }
    sNumTaskThreads.store(0, std::memory_order_release);
}
