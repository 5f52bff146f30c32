// Storage of the platform objects that the runtime embeds, on POSIX.
#pragma once

#include <pthread.h>

namespace Platform {

struct NativeCriticalSection {
    pthread_mutex_t fMutex;
};

// A stream read that returns fewer bytes than asked for has emptied the socket, and the
// readiness source reports every later arrival, a peer's close among them: a socket's
// owner may arm it again without a read that only finds it empty.
constexpr bool kShortStreamReadEmpties = true;

}  // namespace Platform

// Calling convention of platform callbacks: the platform's default on POSIX.
#define CU_WINAPI
