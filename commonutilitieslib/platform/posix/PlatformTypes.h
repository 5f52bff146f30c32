// Storage of the platform objects that the runtime embeds, on POSIX.
#pragma once

#include <pthread.h>

#include <cstdint>

namespace Platform {

// AF_INET6 on Linux, checked where the socket headers are included.
constexpr uint16_t kAddressFamilyInet6 = 10;

struct NativeCriticalSection {
    pthread_mutex_t fMutex;
};

}  // namespace Platform

// Calling convention of platform callbacks: the platform's default on POSIX.
#define CU_WINAPI
