#include "TaskGroup.h"

#include "OS.h"
#include "Task.h"

bool TaskGroup::Member::Join(TaskGroup* group) {
    Leave();
    OSMutexLocker locker(&group->fMutex);
    if (group->fStopping) return false;
    group->fMembers.Enqueue(&fElem);
    fGroup = group;
    return true;
}

void TaskGroup::Member::Leave() {
    if (fGroup != nullptr) fGroup->Remove(this);
}

TaskGroup::~TaskGroup() {
    OSMutexLocker locker(&fMutex);
    while (OSQueueElem* elem = fMembers.Dequeue())
        static_cast<Member*>(elem->GetEnclosingObject())->fGroup = nullptr;
}

void TaskGroup::Remove(Member* member) {
    OSMutexLocker locker(&fMutex);
    fMembers.Remove(&member->fElem);
    member->fGroup = nullptr;
    if (fMembers.GetLength() == 0) fEmptied.Broadcast();
}

uint32_t TaskGroup::Count() {
    OSMutexLocker locker(&fMutex);
    return fMembers.GetLength();
}

void TaskGroup::SignalAll(uint32_t events) {
    // Under the lock: a member cannot leave, so its task cannot be deleted, meanwhile.
    OSMutexLocker locker(&fMutex);
    for (OSQueueIterator it(&fMembers); !it.IsDone(); it.Next())
        static_cast<Member*>(it.GetCurrent()->GetEnclosingObject())->fTask->Signal(events);
}

void TaskGroup::Stop(uint32_t events) {
    {
        OSMutexLocker locker(&fMutex);
        fStopping = true;
    }
    SignalAll(events);
}

bool TaskGroup::WaitUntilEmpty(uint32_t waitMSec) {
    const int64_t deadline = OS::Milliseconds() + waitMSec;
    OSMutexLocker locker(&fMutex);
    while (fMembers.GetLength() > 0) {
        const int64_t left = deadline - OS::Milliseconds();
        if (left <= 0) return false;
        fEmptied.Wait(&fMutex, int32_t(left));
    }
    return true;
}
