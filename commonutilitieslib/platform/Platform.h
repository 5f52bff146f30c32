// The thin layer between the runtime's logic and the operating system. Each function
// stands in for one platform service; win32/ implements it with the Windows API, posix/
// with Linux. Nothing here knows about tasks, sockets or any other runtime concept.
#pragma once

#include <cstdint>

#include "PlatformTypes.h"

namespace Platform {

// ---- Clock and system queries ------------------------------------------------------------

// A free-running 32-bit millisecond counter that wraps to 0 after 2^32 ms.
uint32_t TimerMilliseconds();

// Current UTC time in whole seconds since 1970-01-01.
int64_t UtcSeconds();

// The local time zone's standard bias in minutes (UTC = local time + bias). False when the
// platform cannot say.
bool TimeZoneBiasMinutes(int32_t* biasMinutes);

uint32_t ProcessorCount();

enum class PathKind { kMissing, kDirectory, kOther };
PathKind StatPath(const char* path);

// Creates one directory: 0 on success, -1 with the last error set.
int MakeOneDirectory(const char* path);

// The separator written back between directories of a path.
extern const char kPathSeparator;

// The calling thread's last error, in the Windows error-code space on every platform so
// that one table maps it to the runtime's error numbers.
uint32_t LastError();
void SetLastError(uint32_t code);

// Breaks into an attached debugger.
void BreakIntoDebugger();

// ---- Locks -------------------------------------------------------------------------------

// A plain (non-recursive is enough) mutual-exclusion lock.
class CriticalSection {
public:
    CriticalSection();
    ~CriticalSection();
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Enter();
    void Leave();
    bool TryEnter();

private:
    NativeCriticalSection fNative;
};

// A non-zero 32-bit id of the calling thread, unique among live threads. Inline where the
// platform allows it: every OSMutex operation asks for it.
inline uint32_t CurrentThreadId();

// ---- Events and waits --------------------------------------------------------------------

constexpr uint32_t kInfinite = 0xFFFFFFFF;

enum class WaitResult { kSignaled, kTimeout, kFailed };

// An auto-reset event, created not set: setting it with no waiter leaves it set, a wait
// on a set event returns at once and resets it, setting it with waiters releases one.
using EventHandle = void*;
EventHandle CreateAutoResetEvent();
bool SetEvent(EventHandle event);
WaitResult WaitEvent(EventHandle event, uint32_t timeoutMs);
bool CloseEvent(EventHandle event);

// The calling thread's own auto-reset event, made on its first call and closed when the
// thread ends; null when it cannot be made. A thread waits for one thing at a time, so one
// event serves all its waits.
EventHandle ThreadWaitEvent();

// ---- Threads and thread-local storage ----------------------------------------------------

using ThreadHandle = uintptr_t;  // 0 when no thread was created
using ThreadRoutine = void (*)(void* argument);

// Starts a thread that runs routine(argument) at once, with the default stack.
ThreadHandle StartThread(ThreadRoutine routine, void* argument);

// Waits without limit for the thread to end, then releases the handle.
WaitResult JoinThread(ThreadHandle thread);

// One process-wide slot holding a pointer per thread; reads null where never set.
bool AllocateThreadSlot(uint32_t* index);
bool SetThreadSlot(uint32_t index, void* value);
void* GetThreadSlot(uint32_t index);

void SleepMilliseconds(uint32_t milliseconds);

}  // namespace Platform

// Inline definitions of the hottest calls, where the platform offers them cheaply.
#include "PlatformInline.h"
