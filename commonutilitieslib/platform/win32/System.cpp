// Clock, system queries and last-error handling on Windows.
// <windows.h> comes first: the system headers after it need its types.
#include <windows.h>

#include <direct.h>
#include <mmsystem.h>
#include <sys/stat.h>

#include <ctime>

#include "platform/Platform.h"

namespace Platform {

uint32_t TimerMilliseconds() {
    return timeGetTime();
}

int64_t UtcSeconds() {
    return int64_t(_time64(nullptr));
}

bool TimeZoneBiasMinutes(int32_t* biasMinutes) {
    TIME_ZONE_INFORMATION information;
    if (GetTimeZoneInformation(&information) == TIME_ZONE_ID_INVALID) return false;
    *biasMinutes = int32_t(information.Bias);
    return true;
}

uint32_t ProcessorCount() {
    SYSTEM_INFO information;
    GetSystemInfo(&information);
    return uint32_t(information.dwNumberOfProcessors);
}

PathKind StatPath(const char* path) {
    struct _stat64i32 status;
    if (_stat64i32(path, &status) != 0) return PathKind::kMissing;
    return (status.st_mode & 0x4000) != 0 ? PathKind::kDirectory : PathKind::kOther;
}

int MakeOneDirectory(const char* path) {
    return _mkdir(path) == 0 ? 0 : -1;
}

const char kPathSeparator = '\\';

uint32_t LastError() {
    return uint32_t(GetLastError());
}

void SetLastError(uint32_t code) {
    ::SetLastError(DWORD(code));
}

void BreakIntoDebugger() {
    DebugBreak();
}

}  // namespace Platform
