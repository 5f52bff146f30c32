// Storage of the platform objects that the runtime embeds, on POSIX.
#pragma once

#include <pthread.h>

namespace Platform {

struct NativeCriticalSection {
    pthread_mutex_t fMutex;
};

}  // namespace Platform

// Calling convention of platform callbacks: the platform's default on POSIX.
#define CU_WINAPI
