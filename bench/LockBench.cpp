// Locks, atomics and condition hand-offs, each beside its standard-library counterpart.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "OSAtomic.h"
#include "OSCond.h"
#include "OSMutex.h"

namespace {

void BM_OSMutex_LockUnlock(benchmark::State& state) {
    OSMutex mutex;
    for (auto _ : state) {
        mutex.Lock();
        mutex.Unlock();
    }
}
BENCHMARK(BM_OSMutex_LockUnlock);

void BM_StdMutex_LockUnlock(benchmark::State& state) {
    std::mutex mutex;
    for (auto _ : state) {
        mutex.lock();
        mutex.unlock();
    }
}
BENCHMARK(BM_StdMutex_LockUnlock);

// A re-lock by the holder: the runtime's touches no platform lock.
void BM_OSMutex_RecursiveRelock(benchmark::State& state) {
    OSMutex mutex;
    mutex.Lock();
    for (auto _ : state) {
        mutex.Lock();
        mutex.Unlock();
    }
    mutex.Unlock();
}
BENCHMARK(BM_OSMutex_RecursiveRelock);

void BM_StdRecursiveMutex_RecursiveRelock(benchmark::State& state) {
    std::recursive_mutex mutex;
    mutex.lock();
    for (auto _ : state) {
        mutex.lock();
        mutex.unlock();
    }
    mutex.unlock();
}
BENCHMARK(BM_StdRecursiveMutex_RecursiveRelock);

void BM_AtomicAdd(benchmark::State& state) {
    static uint32_t word = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(AtomicAdd(&word, 1));
}
BENCHMARK(BM_AtomicAdd)->Threads(1)->Threads(2);

void BM_StdAtomic_FetchAdd(benchmark::State& state) {
    static std::atomic<uint32_t> word{0};
    for (auto _ : state)
        benchmark::DoNotOptimize(word.fetch_add(1));
}
BENCHMARK(BM_StdAtomic_FetchAdd)->Threads(1)->Threads(2);

// One round trip of a signal-to-wake hand-off between two threads: the main thread hands a
// turn to the partner and waits for it back. Each iteration is two hand-offs.
template <typename Mutex, typename Cond, typename Locker, typename WaitFn, typename SignalFn>
void HandOffRounds(benchmark::State& state, Mutex& mutex, Cond& cond, WaitFn wait,
                   SignalFn signal) {
    int turn = 0;  // 0: main's turn, 1: partner's turn, 2: stop
    std::thread partner([&] {
        Locker locker(mutex);
        for (;;) {
            while (turn == 0)
                wait(locker);
            if (turn == 2) return;
            turn = 0;
            signal();
        }
    });
    for (auto _ : state) {
        Locker locker(mutex);
        turn = 1;
        signal();
        while (turn == 1)
            wait(locker);
    }
    {
        Locker locker(mutex);
        turn = 2;
        signal();
    }
    partner.join();
}

struct OSLocker {
    explicit OSLocker(OSMutex& mutex) : fLocker(&mutex) {}
    OSMutexLocker fLocker;
};

void BM_OSCond_HandOff(benchmark::State& state) {
    OSMutex mutex;
    OSCond cond;
    HandOffRounds<OSMutex, OSCond, OSLocker>(
        state, mutex, cond, [&](OSLocker&) { cond.Wait(&mutex, 0); }, [&] { cond.Signal(); });
}
BENCHMARK(BM_OSCond_HandOff)->UseRealTime();

void BM_StdConditionVariable_HandOff(benchmark::State& state) {
    std::mutex mutex;
    std::condition_variable cond;
    HandOffRounds<std::mutex, std::condition_variable, std::unique_lock<std::mutex>>(
        state, mutex, cond, [&](std::unique_lock<std::mutex>& lock) { cond.wait(lock); },
        [&] { cond.notify_one(); });
}
BENCHMARK(BM_StdConditionVariable_HandOff)->UseRealTime();

}  // namespace
