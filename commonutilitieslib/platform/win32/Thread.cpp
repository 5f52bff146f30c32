// Threads, thread-local storage and sleeping on Windows.
// <windows.h> comes first: the system headers after it need its types.
#include <windows.h>

#include <process.h>
#include <psapi.h>
#include <tlhelp32.h>

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

bool SetThreadSlot(uint32_t index, void* value) {
    return TlsSetValue(DWORD(index), value) != 0;
}

void* GetThreadSlot(uint32_t index) {
    return TlsGetValue(DWORD(index));
}

void SleepMilliseconds(uint32_t milliseconds) {
    ::Sleep(DWORD(milliseconds));
}

}  // namespace Platform

namespace Platform {

ProcessResources CurrentProcessResources() {
    ProcessResources resources{};
    DWORD handles = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &handles)) resources.fHandles = handles;
    const DWORD process = GetCurrentProcessId();
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        THREADENTRY32 entry;
        entry.dwSize = sizeof(entry);
        for (BOOL more = Thread32First(snapshot, &entry); more;
             more = Thread32Next(snapshot, &entry)) {
            if (entry.th32OwnerProcessID == process) ++resources.fThreads;
        }
        CloseHandle(snapshot);
    }
    PROCESS_MEMORY_COUNTERS memory;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory)))
        resources.fResidentBytes = memory.WorkingSetSize;
    return resources;
}

}  // namespace Platform
