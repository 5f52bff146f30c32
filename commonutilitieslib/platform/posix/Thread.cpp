// Threads, thread-local storage and sleeping on POSIX.
#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <new>

#include "platform/Platform.h"

namespace Platform {
namespace {

struct StartRecord {
    ThreadRoutine fRoutine;
    void* fArgument;
};

void* RunThread(void* raw) {
    StartRecord record = *static_cast<StartRecord*>(raw);
    delete static_cast<StartRecord*>(raw);
    record.fRoutine(record.fArgument);
    return nullptr;
}

}  // namespace

ThreadHandle StartThread(ThreadRoutine routine, void* argument) {
    auto* record = new (std::nothrow) StartRecord{routine, argument};
    if (record == nullptr) return 0;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, RunThread, record) != 0) {
        delete record;
        return 0;
    }
    static_assert(sizeof(pthread_t) <= sizeof(ThreadHandle));
    return ThreadHandle(thread);
}

WaitResult JoinThread(ThreadHandle thread) {
    return pthread_join(pthread_t(thread), nullptr) == 0 ? WaitResult::kSignaled
                                                         : WaitResult::kFailed;
}

bool AllocateThreadSlot(uint32_t* index) {
    pthread_key_t key;
    if (pthread_key_create(&key, nullptr) != 0) return false;
    *index = uint32_t(key);
    return true;
}

bool SetThreadSlot(uint32_t index, void* value) {
    return pthread_setspecific(pthread_key_t(index), value) == 0;
}

void* GetThreadSlot(uint32_t index) {
    return pthread_getspecific(pthread_key_t(index));
}

void SleepMilliseconds(uint32_t milliseconds) {
    timespec remaining{time_t(milliseconds / 1000), long(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace Platform

namespace Platform {

ProcessResources CurrentProcessResources() {
    ProcessResources resources{};
    for (const char* directory : {"/proc/self/fd", "/proc/self/task"}) {
        uint32_t count = 0;
        if (DIR* listing = opendir(directory)) {
            while (const dirent* entry = readdir(listing)) {
                if (entry->d_name[0] != '.') ++count;
            }
            closedir(listing);
        }
        (directory[11] == 'f' ? resources.fHandles : resources.fThreads) = count;
    }
    if (FILE* status = fopen("/proc/self/statm", "r")) {
        unsigned long pages = 0, resident = 0;
        if (fscanf(status, "%lu %lu", &pages, &resident) == 2)
            resources.fResidentBytes = uint64_t(resident) * uint64_t(sysconf(_SC_PAGESIZE));
        fclose(status);
    }
    // The listing of the descriptors holds one of its own while it is read.
    if (resources.fHandles > 0) --resources.fHandles;
    return resources;
}

}  // namespace Platform
