// Shared pieces of the scheduler and readiness benchmarks: latency samples reported as
// percentiles, a count to wait on, the runtime brought up once per process as a host does,
// and the signal-to-run measurement with its standard-library reference.
//
// Include from exactly one source file per benchmark executable: it brings in the counting
// allocator, which replaces the global operator new and delete for the whole program.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CountingAllocator.h"
#include "RuntimeHost.h"
#include "Socket.h"
#include "SocketUtils.h"
#include "Task.h"
#include "platform/Platform.h"

namespace bench {

// ---- Time ---------------------------------------------------------------------------------

inline int64_t NowNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The process's CPU time, all threads together.
inline int64_t ProcessCpuNanoseconds() {
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Between two latency samples: long enough for the woken threads to go back to sleep, so
// every sample measures a wake-up from an idle wait.
constexpr auto kSamplePause = std::chrono::microseconds(200);

// Latency samples in nanoseconds, stored without allocating once reserved.
class LatencySamples {
public:
    explicit LatencySamples(size_t capacity) { fSamples.reserve(capacity); }

    void Add(int64_t nanoseconds) {
        if (fSamples.size() < fSamples.capacity()) fSamples.push_back(nanoseconds);
    }

    // Median and 99th percentile in microseconds, as counters beside the mean time.
    void Report(benchmark::State& state) {
        if (fSamples.empty()) return;
        std::sort(fSamples.begin(), fSamples.end());
        state.counters["median_us"] = double(At(0.50)) / 1000.0;
        state.counters["p99_us"] = double(At(0.99)) / 1000.0;
    }

private:
    int64_t At(double fraction) const {
        return fSamples[std::min(fSamples.size() - 1, size_t(fraction * double(fSamples.size())))];
    }

    std::vector<int64_t> fSamples;
};

// A count that workers raise and one thread waits on, blocking (not spinning) so that the
// waiter leaves the cores to the threads being measured.
class Completion {
public:
    void Add() {
        const uint64_t count = fCount.fetch_add(1) + 1;
        if (count < fTarget.load()) return;
        std::lock_guard<std::mutex> lock(fMutex);
        fReached.notify_all();
    }
    uint64_t Count() const { return fCount.load(); }

    // Returns once the count has reached the target. The waiter sleeps at once, without
    // spinning or yielding first: a waiter kept runnable held its CPU while the threads it
    // waits for were woken and pushed them onto the idle one, whose wake-up on this VM cost
    // ~30 us (ReadinessToRun median 50 -> 25 us; the one-hand-off benchmarks unchanged).
    void WaitFor(uint64_t target) {
        std::unique_lock<std::mutex> lock(fMutex);
        fTarget.store(target);
        fReached.wait(lock, [&] { return fCount.load() >= target; });
        fTarget.store(UINT64_MAX);  // later Adds need wake nobody
    }

private:
    std::atomic<uint64_t> fCount{0};
    std::atomic<uint64_t> fTarget{UINT64_MAX};
    std::mutex fMutex;
    std::condition_variable fReached;
};

// Waits, sleeping briefly, until the condition holds; a benchmark that would hang fails.
template <typename Condition>
bool WaitBriefly(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return true;
}

// A task's own thread is done with it once its event word is back to 0.
inline bool WaitUntilIdle(const Task& task) {
    return WaitBriefly([&] { return task.GetEvents() == 0; });
}

// The CPU the whole process uses over a window in which the benchmark thread only sleeps,
// as a share of one core: what the other threads burn while they wait for work.
constexpr auto kIdleWindow = std::chrono::seconds(2);

inline void ReportIdleCost(benchmark::State& state, uint32_t threads) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let earlier work settle
    double percent = 0;
    for (auto _ : state) {
        const int64_t cpuStart = ProcessCpuNanoseconds();
        const int64_t wallStart = NowNanoseconds();
        std::this_thread::sleep_for(kIdleWindow);
        const int64_t cpu = ProcessCpuNanoseconds() - cpuStart;
        const int64_t wall = NowNanoseconds() - wallStart;
        percent = 100.0 * double(cpu) / double(wall);
    }
    state.counters["core%"] = percent;
    state.counters["core%/thread"] = percent / threads;
}

// ---- Measuring loops ----------------------------------------------------------------------

constexpr int kLatencySamples = 3000;
constexpr int kWarmUpSamples = 8;

// `sample` takes one latency sample and returns it in nanoseconds. After a few unmeasured
// samples to warm up, each iteration takes one and reports it as its time; at the end come
// the allocations per sample and the median and 99th percentile.
template <typename SampleFn>
void MeasureLatency(benchmark::State& state, SampleFn sample) {
    LatencySamples samples(kLatencySamples);
    for (int i = 0; i < kWarmUpSamples; ++i)
        sample();
    AllocationCounter allocations;
    for (auto _ : state) {
        const int64_t latency = sample();
        state.SetIterationTime(double(latency) / 1e9);
        samples.Add(latency);
    }
    allocations.Report(state);
    samples.Report(state);
}

// A counter of `count` operations per second of the measured time, named `name`.
inline void SetRate(benchmark::State& state, const char* name, double count) {
    state.counters[name] = benchmark::Counter(count, benchmark::Counter::kIsRate);
}

// `runBatch` does `perBatch` operations and returns once they are done. After one unmeasured
// batch to warm up, each iteration runs one; at the end come the allocations per operation
// and the operations per second, as `rateName`.
template <typename BatchFn>
void MeasureBatches(benchmark::State& state, int64_t perBatch, const char* rateName,
                    BatchFn runBatch) {
    runBatch();  // warm-up
    AllocationCounter allocations;
    for (auto _ : state)
        runBatch();
    const double operations = double(state.iterations() * perBatch);
    allocations.Report(state, operations);
    SetRate(state, rateName, operations);
}

// ---- The runtime, brought up once per process ---------------------------------------------

// The pool can be built once per process only; the first caller decides its size.
inline uint32_t StartTaskThreads(uint32_t count) {
    static const uint32_t sStarted = [count] {
        std::string error;
        RuntimeHost::Start({.fTaskThreads = count, .fEventLoop = false}, &error);
        return count;
    }();
    return sStarted;
}

// The one event loop, stored where sockets find it.
inline EventLoopThread* StartEventLoop() {
    std::string error;
    RuntimeHost::Start({.fTaskThreads = 0, .fEventLoop = true}, &error);
    return Socket::sEventLoop;
}

// ---- Signal-to-run latency ----------------------------------------------------------------
// Registered by each executable after it has started its pool.

// Notes the moment its run began and reports the run.
class StampingTask : public Task {
public:
    int64_t Run() override {
        fRunAt = NowNanoseconds();
        TakeEvents();
        fRuns.Add();
        return 0;
    }

    int64_t fRunAt = 0;  // published to the waiter through fRuns
    Completion fRuns;
};

// A non-task thread signals an idle task; one sample is the time from just before Signal to
// the start of Run, so it covers the queueing, the wake-up of an idle task thread and the
// shared hold of the global lock.
inline void SignalToRunLatency(benchmark::State& state) {
    StampingTask task;
    uint64_t runs = 0;
    // The warm-up also has every task thread make its wait event on its first wait.
    MeasureLatency(state, [&] {
        std::this_thread::sleep_for(kSamplePause);
        const int64_t signalledAt = NowNanoseconds();
        task.Signal(0x1);
        task.fRuns.WaitFor(++runs);
        const int64_t latency = task.fRunAt - signalledAt;
        // The next signal must find the task idle again.
        WaitUntilIdle(task);
        return latency;
    });
}

// The reference: a waiter thread blocked on a std::condition_variable; one sample is the
// time from just before the notifying thread takes the mutex to the waiter's return from
// its wait. With `timedWaits` the waiter waits 10 ms at a time, as an idle task thread does.
inline void CondVarHandOffLatency(benchmark::State& state, bool timedWaits) {
    std::mutex mutex;
    std::condition_variable cond;
    bool go = false;
    bool stop = false;
    int64_t wokeAt = 0;
    Completion wakes;
    std::thread waiter([&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            while (!go && !stop) {
                if (timedWaits) {
                    cond.wait_for(lock, std::chrono::milliseconds(10));
                } else {
                    cond.wait(lock);
                }
            }
            if (stop) return;
            go = false;
            wokeAt = NowNanoseconds();
            wakes.Add();
        }
    });
    LatencySamples samples(kLatencySamples);
    uint64_t count = 0;
    for (auto _ : state) {
        std::this_thread::sleep_for(kSamplePause);
        const int64_t signalledAt = NowNanoseconds();
        {
            std::lock_guard<std::mutex> lock(mutex);
            go = true;
        }
        cond.notify_one();
        wakes.WaitFor(++count);
        int64_t latency;
        {
            std::lock_guard<std::mutex> lock(mutex);
            latency = wokeAt - signalledAt;
        }
        state.SetIterationTime(double(latency) / 1e9);
        samples.Add(latency);
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
    }
    cond.notify_one();
    waiter.join();
    samples.Report(state);
}

}  // namespace bench
