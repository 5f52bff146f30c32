#include "EventContext.h"

#include <cstdio>
#include <cstring>

#include "OSAssert.h"
#include "OSAtomic.h"
#include "Task.h"
#include "platform/Platform.h"

namespace {

// Build-time switch for the trace lines of SetTask.
constexpr bool kEventContextTrace = false;

constexpr int kAssertNonBlocking = 82;
constexpr int kAssertClose = 124;
constexpr int kAssertRewatch = 174;
constexpr int kAssertWatch = 232;
constexpr int kAssertWait = 260;
constexpr int kAssertNoMessageNumber = 92;

// Set by the arming that found every number in use and reported it, cleared by the next
// registration that succeeds: a crowd of sockets failing to arm makes one line, not
// thousands.
uint32_t sNumbersRanOut = 0;  // changed only by the atomic operations

}  // namespace

uint32_t sNextMessageNumber = EventContext::kFirstMessageNumber;

uint32_t AllocateMessageNumber() {
    for (;;) {
        const uint32_t current = AtomicRead(&sNextMessageNumber);
        const uint32_t next = (current >= EventContext::kLastMessageNumber ||
                               current < EventContext::kFirstMessageNumber)
                                  ? EventContext::kFirstMessageNumber
                                  : current + 1;
        if (CompareAndStore(current, next, &sNextMessageNumber)) return next;
    }
}

EventContext::EventContext(int32_t socket, EventLoopThread* eventLoop)
    : fSocket(socket),
      fMessageKey(reinterpret_cast<char*>(&fMessageNumber), sizeof(fMessageNumber)),
      fEventLoop(eventLoop) {}

EventContext::~EventContext() {
    if (fCloseOnDestroy) Dispose();
}

void EventContext::OnEvent(uint32_t) {
    if (fTask != nullptr) fTask->Signal(Task::kReadEvent);
}

void EventContext::SetNonBlocking(int32_t socket) {
    fSocket = socket;
    if (Platform::SetSocketNonBlocking(socket) != 0)
        AssertVAt(false, OSThread::LastErrorCode(), kAssertNonBlocking);
}

void EventContext::Dispose() {
    int closeResult = 0;
    if (fSocket != -1) {
        if (fMessageNumber != 0) {
            // Waits until the event loop has let go of the entry.
            fEventLoop->fContextTable.Remove(&fRegistryEntry, 0);
            UnwatchSocket(fSocket);
        }
        closeResult = Platform::CloseSocket(fSocket);
    }
    fSocket = -1;
    fMessageNumber = 0;
    // Opened again, the context registers afresh: its old request names a handle and a
    // number it no longer owns.
    fArmed = 0;
    if (closeResult != 0) AssertVAt(false, OSThread::LastErrorCode(), kAssertClose);
}

void EventContext::PointRegistryEntryAtThis() {
    fMessageKey.Set(reinterpret_cast<char*>(&fMessageNumber), sizeof(fMessageNumber));
    fRegistryEntry.fName = fMessageKey;
    fRegistryEntry.fObject = this;
    fRegistryEntry.fHashValue = OSRefRegistry::HashName(&fMessageKey);
}

bool EventContext::Register() {
    // A number still registered by another context is skipped. After a whole cycle with
    // none free, give up for now: a later ArmEvent tries again.
    for (uint32_t attempt = 0; attempt < kMessageNumberCount; ++attempt) {
        fMessageNumber = AllocateMessageNumber();
        PointRegistryEntryAtThis();
        if (fEventLoop->fContextTable.Insert(&fRegistryEntry) == 0) {
            if (AtomicRead(&sNumbersRanOut) != 0) CompareAndStore(1, 0, &sNumbersRanOut);
            return true;
        }
    }
    fMessageNumber = 0;
    return false;
}

int32_t EventContext::ReserveMessageNumber() {
    if (fMessageNumber != 0) return 0;
    Assert(fEventLoop != nullptr);
    if (fEventLoop == nullptr) return kErrNoMessageNumber;
    // The socket is in the request before the context is registered: the event loop
    // checks it against every notification it hands over.
    fRequest = EventRequest();
    fRequest.fWatchRecord = 1;
    fRequest.fSocket = fSocket;
    if (!Register()) return kErrNoMessageNumber;
    fRequest.fMessage = fMessageNumber;
    return 0;
}

int32_t EventContext::ArmEvent(uint32_t eventBits) {
    if (fArmed) {
        // The common path: one platform call, no registry work.
        fRequest.fEventBits = eventBits;
        if (RewatchSocket(&fRequest, eventBits) == 0) return 0;
        const int32_t error = OSThread::LastErrorCode();
        AssertVAt(false, error, kAssertRewatch);
        return error;
    }
    const int32_t reserved = ReserveMessageNumber();
    if (reserved != 0) {
        if (fEventLoop != nullptr && CompareAndStore(0, 1, &sNumbersRanOut))
            AssertVAt(false, OSRefRegistry::kDuplicateName, kAssertNoMessageNumber);
        return reserved;
    }
    fRequest.fEventBits = eventBits;
    fArmed = 1;
    if (WatchSocket(&fRequest, eventBits) == 0) return 0;
    const int32_t error = OSThread::LastErrorCode();
    AssertVAt(false, error, kAssertWatch);
    return error;
}

void EventContext::SetTask(Task* task) {
    fTask = task;
    if constexpr (kEventContextTrace) {
        if (task == nullptr) {
            std::printf("EventContext::SetTask context=%lu task= NULL\n",
                        (unsigned long)(uintptr_t)this);
        } else {
            std::printf("EventContext::SetTask context=%lu task= %lu name=%s\n",
                        (unsigned long)(uintptr_t)this, (unsigned long)(uintptr_t)task,
                        task->GetTaskName());
        }
    }
}

void EventContext::TakeOver(EventContext* other) {
    other->fSocket = -1;
    fArmed = other->fArmed;
    fMessageNumber = other->fMessageNumber;
    fRequest = other->fRequest;
    PointRegistryEntryAtThis();
    // A context that never registered has nothing to hand over.
    if (fMessageNumber == 0) return;
    fEventLoop->fContextTable.Replace(&fRegistryEntry);
    fEventLoop->fContextTable.Remove(&other->fRegistryEntry, 0);
}

void EventLoopThread::Dispatch(const EventRequest& request) {
    if (request.fMessage == 0) return;
    EventRequest key = request;
    StrPtrLen name(reinterpret_cast<char*>(&key.fMessage), sizeof(key.fMessage));
    // A number whose context was disposed meanwhile is not found: dropped.
    OSRef* entry = fContextTable.Acquire(&name);
    if (entry == nullptr) return;
    auto* context = static_cast<EventContext*>(entry->fObject);
    // A notification left from a socket closed since may name a handle value that a live
    // socket has now: it is dropped, and that socket is left armed.
    if (context->GetWatchedSocket() == request.fSocket) {
        SwitchOffDeliveredSocket(&request);
        context->OnEvent(request.fEventBits);
    }
    fContextTable.Release(entry);
}

void EventLoopThread::Entry() {
    Platform::DeferWakeUps();
    EventRequest request;
    bool failing = false;
    for (;;) {
        const int32_t waited = TakeEvent(&request, 1);
        if (waited == EINTR) continue;
        if (waited != 0) {
            AssertVAt(failing, waited, kAssertWait);
            failing = true;
            OSThread::Sleep(kFailedWaitPauseMSec);
            continue;
        }
        failing = false;
        // Everything ready now is handed out before any task thread is woken for it.
        TaskWakeUpBatch batch;
        do {
            Dispatch(request);
            OSThread::Yield();
        } while (TakeEvent(&request, 0) == 0);
    }
}
