// Inline definitions of the platform layer's hottest calls, on POSIX.
#pragma once

namespace Platform {

inline CriticalSection::CriticalSection() {
    pthread_mutex_init(&fNative.fMutex, nullptr);
}
inline CriticalSection::~CriticalSection() {
    pthread_mutex_destroy(&fNative.fMutex);
}
inline void CriticalSection::Enter() {
    pthread_mutex_lock(&fNative.fMutex);
}
inline void CriticalSection::Leave() {
    pthread_mutex_unlock(&fNative.fMutex);
}
inline bool CriticalSection::TryEnter() {
    return pthread_mutex_trylock(&fNative.fMutex) == 0;
}

// Ids come from a counter, once per thread, so asking costs one thread-local read.
extern thread_local constinit uint32_t tCurrentThreadId;
uint32_t AssignCurrentThreadId();

inline uint32_t CurrentThreadId() {
    const uint32_t id = tCurrentThreadId;
    return id != 0 ? id : AssignCurrentThreadId();
}

}  // namespace Platform
