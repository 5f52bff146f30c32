#include "OS.h"

#include <cmath>

#include "OSAssert.h"
#include "OSMutex.h"
#include "OSThread.h"
#include "platform/Platform.h"

// Process-wide objects, constructed before main in this order and destroyed after it in
// the reverse order. They share this translation unit so that the order holds.
OSReadWriteMutex sGlobalRWMutex;
OSMutex sAtomicMutex;
OSMutex sNtoaMutex;

int64_t OS::sInitialMSec = 0;

namespace {

int64_t sWallClockAtStartMSec = 0;
int64_t sLastTimerMSec = 0;
int64_t sTimerWrapMSec = 0;
int64_t sTimerHighMask = 0;
OSMutex* sClockMutex = nullptr;  // created by Initialize, never destroyed
OS::RawTimer sRawTimer = Platform::TimerMilliseconds;
OS::TimeZoneSource sTimeZoneSource = Platform::TimeZoneBiasMinutes;

}  // namespace

OS::RawTimer OS::SetRawTimer(RawTimer timer) {
    const RawTimer previous = sRawTimer;
    sRawTimer = timer != nullptr ? timer : Platform::TimerMilliseconds;
    return previous;
}

OS::TimeZoneSource OS::SetTimeZoneSource(TimeZoneSource source) {
    const TimeZoneSource previous = sTimeZoneSource;
    sTimeZoneSource = source != nullptr ? source : Platform::TimeZoneBiasMinutes;
    return previous;
}

void OS::Initialize() {
    Assert(sInitialMSec == 0);
    if (sInitialMSec != 0) return;
    sTimerWrapMSec = int64_t(0x100000000);
    sTimerHighMask = int64_t(0xFFFFFFFF00000000);
    sLastTimerMSec = 0;
    sInitialMSec = Milliseconds();
    sWallClockAtStartMSec = Platform::UtcSeconds() * 1000;
    sClockMutex = new OSMutex;
}

int64_t OS::Milliseconds() {
    OSMutexLocker locker(sClockMutex);
    int64_t current = int64_t(sRawTimer()) + (sLastTimerMSec & sTimerHighMask);
    if (current - sLastTimerMSec < 0) current += sTimerWrapMSec;
    sLastTimerMSec = current;
    return current - sInitialMSec + sWallClockAtStartMSec;
}

int64_t OS::Microseconds() {
    return (int64_t(sRawTimer()) - sInitialMSec) * 1000;
}

int32_t OS::TimeZoneOffsetHours() {
    int32_t bias = 0;
    if (!sTimeZoneSource(&bias)) return 0;
    return -(bias / 60);
}

uint64_t OS::ReverseBytes64(uint64_t value) {
    uint64_t result = 0;
    for (int i = 0; i < 8; ++i) {
        result = (result << 8) | (value & 0xFF);
        value >>= 8;
    }
    return result;
}

int32_t OS::MakeDirectory(const char* path) {
    // The platform's file calls may end the process on a null path rather than fail.
    Assert(path != nullptr);
    if (path == nullptr) return ENOENT;
    switch (Platform::StatPath(path)) {
        case Platform::PathKind::kMissing:
            return Platform::MakeOneDirectory(path) == 0 ? 0 : OSThread::LastErrorCode();
        case Platform::PathKind::kDirectory:
            return 0;
        default:
            return EEXIST;
    }
}

int32_t OS::MakeDirectoryPath(char* path) {
    Assert(path != nullptr);
    if (path == nullptr) return ENOENT;
    // Both separators are accepted and the platform's own is written back, the leading
    // one included, which names no directory of its own.
    char* scan = path;
    if (*scan == '\\' || *scan == '/') *scan++ = Platform::kPathSeparator;
    for (; *scan != '\0'; ++scan) {
        if (*scan != '/' && *scan != '\\') continue;
        *scan = '\0';
        MakeDirectory(path);
        *scan = Platform::kPathSeparator;
    }
    return MakeDirectory(path);
}

uint32_t OS::ProcessorCount() {
    return Platform::ProcessorCount();
}

uint64_t OS::MillisecondsToFixedSeconds(int64_t milliseconds) {
    const int64_t seconds = milliseconds / 1000;
    const int64_t remainder = milliseconds % 1000;
    const int64_t fraction = int64_t(std::ldexp(double(remainder), 32) / 1000.0);
    return (uint64_t(seconds) << 32) | (uint64_t(fraction) & 0xFFFFFFFFu);
}
