// Threads, thread-local storage and sleeping on Windows.
#include <windows.h>
#include <process.h>
#include <new>

#include "platform/Platform.h"

namespace Platform {
namespace {

struct StartRecord {
    ThreadRoutine fRoutine;
    void* fArgument;
};

unsigned __stdcall RunThread(void* raw) {
    StartRecord record = *static_cast<StartRecord*>(raw);
    delete static_cast<StartRecord*>(raw);
    record.fRoutine(record.fArgument);
    return 0;
}

}  // namespace

ThreadHandle StartThread(ThreadRoutine routine, void* argument) {
    auto* record = new (std::nothrow) StartRecord{routine, argument};
    if (record == nullptr) return 0;
    uintptr_t handle = _beginthreadex(nullptr, 0, RunThread, record, 0, nullptr);
    if (handle == 0) delete record;
    return ThreadHandle(handle);
}

WaitResult JoinThread(ThreadHandle thread) {
    const DWORD result = WaitForSingleObject(HANDLE(thread), INFINITE);
    CloseHandle(HANDLE(thread));
    return result == WAIT_OBJECT_0 ? WaitResult::kSignaled : WaitResult::kFailed;
}

bool AllocateThreadSlot(uint32_t* index) {
    const DWORD slot = TlsAlloc();
    if (slot == TLS_OUT_OF_INDEXES) return false;
    *index = uint32_t(slot);
    return true;
}

bool SetThreadSlot(uint32_t index, void* value) { return TlsSetValue(DWORD(index), value) != 0; }

void* GetThreadSlot(uint32_t index) { return TlsGetValue(DWORD(index)); }

void SleepMilliseconds(uint32_t milliseconds) { ::Sleep(DWORD(milliseconds)); }

}  // namespace Platform
