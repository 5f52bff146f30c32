// Critical sections, thread ids and auto-reset events on Windows.
#include <windows.h>

#include "platform/Platform.h"

namespace Platform {

static_assert(sizeof(NativeCriticalSection) == sizeof(CRITICAL_SECTION));
static_assert(alignof(NativeCriticalSection) >= alignof(CRITICAL_SECTION));

static CRITICAL_SECTION* Native(NativeCriticalSection& storage) {
    return reinterpret_cast<CRITICAL_SECTION*>(storage.fBytes);
}

CriticalSection::CriticalSection() {
    InitializeCriticalSection(Native(fNative));
}
CriticalSection::~CriticalSection() {
    DeleteCriticalSection(Native(fNative));
}
void CriticalSection::Enter() {
    EnterCriticalSection(Native(fNative));
}
void CriticalSection::Leave() {
    LeaveCriticalSection(Native(fNative));
}
bool CriticalSection::TryEnter() {
    return TryEnterCriticalSection(Native(fNative)) != 0;
}

uint32_t CurrentThreadIdOutOfLine() {
    return uint32_t(GetCurrentThreadId());
}

EventHandle CreateAutoResetEvent() {
    return CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

bool SetEvent(EventHandle event) {
    return ::SetEvent(HANDLE(event)) != 0;
}

WaitResult WaitEvent(EventHandle event, uint32_t timeoutMs) {
    switch (WaitForSingleObject(HANDLE(event), timeoutMs == kInfinite ? INFINITE : timeoutMs)) {
        case WAIT_OBJECT_0:
            return WaitResult::kSignaled;
        case WAIT_TIMEOUT:
            return WaitResult::kTimeout;
        default:
            return WaitResult::kFailed;
    }
}

bool CloseEvent(EventHandle event) {
    return CloseHandle(HANDLE(event)) != 0;
}

namespace {

void WINAPI CloseThreadWaitEvent(void* event) {
    if (event != nullptr) CloseHandle(HANDLE(event));
}

// Fiber-local storage, whose callback gets the value at thread exit. A C++ thread_local
// with a destructor will not do here: MinGW's emulated thread-locals may free their
// storage before that destructor runs, which then closes whatever handle it reads.
DWORD ThreadWaitEventSlot() {
    static const DWORD sSlot = FlsAlloc(CloseThreadWaitEvent);
    return sSlot;
}

}  // namespace

EventHandle ThreadWaitEvent() {
    const DWORD slot = ThreadWaitEventSlot();
    if (slot == FLS_OUT_OF_INDEXES) return nullptr;
    void* event = FlsGetValue(slot);
    if (event != nullptr) return event;
    event = CreateAutoResetEvent();
    if (event != nullptr && !FlsSetValue(slot, event)) {
        CloseHandle(HANDLE(event));
        return nullptr;
    }
    return event;
}

}  // namespace Platform
