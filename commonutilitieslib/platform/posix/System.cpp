// Clock, system queries and last-error handling on POSIX.
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <ctime>

#include "PosixErrors.h"
#include "platform/Platform.h"

namespace Platform {

uint32_t TimerMilliseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    // Cut to 32 bits so the counter wraps exactly like the Windows multimedia timer.
    uint64_t ms = uint64_t(now.tv_sec) * 1000u + uint64_t(now.tv_nsec) / 1000000u;
    return uint32_t(ms);
}

int64_t UtcSeconds() {
    return int64_t(time(nullptr));
}

bool TimeZoneBiasMinutes(int32_t* biasMinutes) {
    tzset();
    // `timezone` is the standard-time offset in seconds west of UTC: the Windows bias.
    *biasMinutes = int32_t(timezone / 60);
    return true;
}

uint32_t ProcessorCount() {
    long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? uint32_t(count) : 1u;
}

PathKind StatPath(const char* path) {
    struct stat status;
    if (stat(path, &status) != 0) return PathKind::kMissing;
    return S_ISDIR(status.st_mode) ? PathKind::kDirectory : PathKind::kOther;
}

int MakeOneDirectory(const char* path) {
    return mkdir(path, 0777) == 0 ? 0 : -1;
}

const char kPathSeparator = '/';

uint32_t LastError() {
    return WindowsCodeFromErrno(errno);
}

void SetLastError(uint32_t code) {
    errno = ErrnoFromWindowsCode(code);
}

void BreakIntoDebugger() {
    raise(SIGTRAP);
}

}  // namespace Platform
