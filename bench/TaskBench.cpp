// The task scheduler, each measurement beside the same work done on the standard library:
// signal-to-run latency beside a condition-variable hand-off, ping-pong between two tasks,
// many tasks signalled from several threads, re-runs, parking, and the CPU an idle pool
// burns. "allocs/op" counts every thread's allocations per operation once warm.
//
// One pool serves the whole program (it can be built once per process); the ping-pong pins
// its tasks to one or two of its threads.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "Task.h"

namespace {

using bench::Completion;

constexpr uint32_t kPoolThreads = 4;
constexpr uint32_t kWorkEvent = 0x1;

void StartPool() {
    bench::StartTaskThreads(kPoolThreads);
}

TaskThread* PoolThread(uint32_t index) {
    return TaskThreadPool::sTaskThreadArray[index];
}

template <typename TaskList>
void WaitUntilAllIdle(const TaskList& tasks) {
    for (const auto& task : tasks)
        bench::WaitUntilIdle(*task);
}

// ---- A minimal scheduler on the standard library: the reference ---------------------------

class StdJob {
public:
    virtual ~StdJob() = default;
    virtual void Run() = 0;

private:
    friend class StdWorker;
    StdJob* fNext = nullptr;
    std::atomic<bool> fQueued{false};
};

// One thread running the jobs posted to it, oldest first, waiting on a condition variable
// while it has none. A job is queued at most once; it may be posted again while it runs.
class StdWorker {
public:
    StdWorker() : fThread([this] { Loop(); }) {}
    ~StdWorker() {
        {
            std::lock_guard<std::mutex> lock(fMutex);
            fStop = true;
        }
        fCond.notify_one();
        fThread.join();
    }

    void Post(StdJob* job) {
        if (job->fQueued.exchange(true)) return;
        {
            std::lock_guard<std::mutex> lock(fMutex);
            job->fNext = nullptr;
            (fTail != nullptr ? fTail->fNext : fHead) = job;
            fTail = job;
        }
        fCond.notify_one();
    }

private:
    void Loop() {
        std::unique_lock<std::mutex> lock(fMutex);
        for (;;) {
            fCond.wait(lock, [this] { return fHead != nullptr || fStop; });
            if (fHead == nullptr) return;  // stopped with nothing left
            StdJob* job = fHead;
            fHead = job->fNext;
            if (fHead == nullptr) fTail = nullptr;
            lock.unlock();
            job->fQueued.store(false);
            job->Run();
            lock.lock();
        }
    }

    std::mutex fMutex;
    std::condition_variable fCond;
    StdJob* fHead = nullptr;
    StdJob* fTail = nullptr;
    bool fStop = false;
    std::thread fThread;  // last: starts once everything it uses is built
};

std::vector<std::unique_ptr<StdWorker>> MakeWorkers(uint32_t count) {
    std::vector<std::unique_ptr<StdWorker>> workers;
    for (uint32_t i = 0; i < count; ++i)
        workers.push_back(std::make_unique<StdWorker>());
    return workers;
}

// ---- Signal-to-run latency ----------------------------------------------------------------

void BM_Task_SignalToRun(benchmark::State& state) {
    StartPool();
    bench::SignalToRunLatency(state);
}
BENCHMARK(BM_Task_SignalToRun)
    ->Iterations(bench::kLatencySamples)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

void BM_StdCondVar_HandOff(benchmark::State& state) {
    bench::CondVarHandOffLatency(state, state.range(0) != 0);
}
BENCHMARK(BM_StdCondVar_HandOff)
    ->ArgName("timed")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(bench::kLatencySamples)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// ---- Ping-pong ----------------------------------------------------------------------------
// Two tasks signal each other until a batch of hops is used up; one run is one hop.

constexpr int64_t kHopsPerBatch = 1000;

struct HopBatch {
    std::atomic<int64_t> fHopsLeft{0};
    Completion fBatches;
    // True while hops are left after this one; the last hop completes the batch.
    bool Hop() {
        if (fHopsLeft.fetch_sub(1) > 1) return true;
        fBatches.Add();
        return false;
    }
};

class PingPongTask : public Task {
public:
    PingPongTask(HopBatch* batch, TaskThread* home) : fBatch(batch), fHome(home) {
        fUseThisThread = home;
    }
    void SetPeer(Task* peer) { fPeer = peer; }

    int64_t Run() override {
        TakeEvents();
        // Cleared before every run: set again so the peer's next signal queues this task on
        // its home thread.
        fUseThisThread = fHome;
        if (fBatch->Hop()) fPeer->Signal(kWorkEvent);
        return 0;
    }

private:
    HopBatch* fBatch;
    TaskThread* fHome;
    Task* fPeer = nullptr;
};

void BM_Task_PingPong(benchmark::State& state) {
    StartPool();
    const bool oneThread = state.range(0) == 1;
    HopBatch batch;
    PingPongTask ping(&batch, PoolThread(0));
    PingPongTask pong(&batch, PoolThread(oneThread ? 0 : 1));
    ping.SetPeer(&pong);
    pong.SetPeer(&ping);
    uint64_t batches = 0;
    bench::MeasureBatches(state, kHopsPerBatch, "hops/s", [&] {
        batch.fHopsLeft = kHopsPerBatch;
        ping.Signal(kWorkEvent);
        batch.fBatches.WaitFor(++batches);
    });
    bench::WaitUntilIdle(ping);
    bench::WaitUntilIdle(pong);
}
BENCHMARK(BM_Task_PingPong)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

class StdPingPongJob : public StdJob {
public:
    StdPingPongJob(HopBatch* batch, StdWorker* home) : fBatch(batch), fHome(home) {}
    void SetPeer(StdPingPongJob* peer) { fPeer = peer; }
    void Post() { fHome->Post(this); }
    void Run() override {
        if (fBatch->Hop()) fPeer->Post();
    }

private:
    HopBatch* fBatch;
    StdWorker* fHome;
    StdPingPongJob* fPeer = nullptr;
};

void BM_StdThreads_PingPong(benchmark::State& state) {
    const bool oneThread = state.range(0) == 1;
    auto workers = MakeWorkers(oneThread ? 1 : 2);
    HopBatch batch;
    StdPingPongJob ping(&batch, workers.front().get());
    StdPingPongJob pong(&batch, workers.back().get());
    ping.SetPeer(&pong);
    pong.SetPeer(&ping);
    uint64_t batches = 0;
    bench::MeasureBatches(state, kHopsPerBatch, "hops/s", [&] {
        batch.fHopsLeft = kHopsPerBatch;
        ping.Post();
        batch.fBatches.WaitFor(++batches);
    });
    workers.clear();  // joins before the jobs go
}
BENCHMARK(BM_StdThreads_PingPong)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// ---- Many tasks signalled from several threads --------------------------------------------
// Each round, every signalling thread signals its share of the tasks once; the round ends
// when every task has run. Tasks are idle when signalled, so every signal queues a task.

constexpr uint32_t kManyTasks = 1000;
constexpr uint32_t kSignallers = 4;

class SignallerGroup {
public:
    explicit SignallerGroup(std::function<void(uint32_t)> signal) : fSignal(std::move(signal)) {
        for (uint32_t i = 0; i < kSignallers; ++i)
            fThreads.emplace_back([this, i] { Loop(i); });
    }
    ~SignallerGroup() {
        fRound.store(kStop);
        fRound.notify_all();
        for (auto& thread : fThreads)
            thread.join();
    }

    void StartRound() {
        fRound.fetch_add(1);
        fRound.notify_all();
    }

private:
    static constexpr uint64_t kStop = UINT64_MAX;

    void Loop(uint32_t index) {
        const uint32_t share = kManyTasks / kSignallers;
        for (uint64_t seen = 0;;) {
            fRound.wait(seen);
            seen = fRound.load();
            if (seen == kStop) return;
            for (uint32_t i = index * share; i < (index + 1) * share; ++i)
                fSignal(i);
        }
    }

    std::function<void(uint32_t)> fSignal;
    std::atomic<uint64_t> fRound{0};
    std::vector<std::thread> fThreads;
};
static_assert(kManyTasks % kSignallers == 0, "every signaller has an equal share");

class CountingTask : public Task {
public:
    explicit CountingTask(Completion* runs) : fRuns(runs) {}
    int64_t Run() override {
        if (TakeEvents() != 0) fRuns->Add();
        return 0;
    }

private:
    Completion* fRuns;
};

// Runs rounds of kManyTasks signals, reporting runs per second.
template <typename SignalFn>
void RunRounds(benchmark::State& state, Completion& runs, SignalFn signal) {
    SignallerGroup signallers(signal);
    uint64_t expected = 0;
    bench::MeasureBatches(state, kManyTasks, "runs/s", [&] {
        signallers.StartRound();
        runs.WaitFor(expected += kManyTasks);
    });
}

void BM_Task_ManySignalled(benchmark::State& state) {
    StartPool();
    Completion runs;
    std::vector<std::unique_ptr<CountingTask>> tasks;
    for (uint32_t i = 0; i < kManyTasks; ++i)
        tasks.push_back(std::make_unique<CountingTask>(&runs));
    RunRounds(state, runs, [&](uint32_t i) { tasks[i]->Signal(kWorkEvent); });
    WaitUntilAllIdle(tasks);
}
BENCHMARK(BM_Task_ManySignalled)->UseRealTime()->Unit(benchmark::kMicrosecond);

class StdCountingJob : public StdJob {
public:
    explicit StdCountingJob(Completion* runs) : fRuns(runs) {}
    void Run() override { fRuns->Add(); }

private:
    Completion* fRuns;
};

void BM_StdThreads_ManySignalled(benchmark::State& state) {
    auto workers = MakeWorkers(kPoolThreads);
    Completion runs;
    std::vector<std::unique_ptr<StdCountingJob>> jobs;
    for (uint32_t i = 0; i < kManyTasks; ++i)
        jobs.push_back(std::make_unique<StdCountingJob>(&runs));
    RunRounds(state, runs, [&](uint32_t i) { workers[i % kPoolThreads]->Post(jobs[i].get()); });
    workers.clear();
}
BENCHMARK(BM_StdThreads_ManySignalled)->UseRealTime()->Unit(benchmark::kMicrosecond);

// ---- Re-runs ------------------------------------------------------------------------------
// A task signals itself during its run: its thread runs it again at once, skipping the run
// queue. The reference job posts itself to its own worker again.

constexpr int64_t kRerunsPerBatch = 1000;

class RerunTask : public Task {
public:
    int64_t Run() override {
        TakeEvents();
        if (--fLeft > 0) {
            Signal(kWorkEvent);
        } else {
            fBatches.Add();
        }
        return 0;
    }

    int64_t fLeft = 0;  // set before the batch's first signal, then the task's own
    Completion fBatches;
};

void BM_Task_Rerun(benchmark::State& state) {
    StartPool();
    RerunTask task;
    uint64_t batches = 0;
    bench::MeasureBatches(state, kRerunsPerBatch, "runs/s", [&] {
        task.fLeft = kRerunsPerBatch;
        task.Signal(kWorkEvent);
        task.fBatches.WaitFor(++batches);
        bench::WaitUntilIdle(task);
    });
}
BENCHMARK(BM_Task_Rerun)->UseRealTime()->Unit(benchmark::kMicrosecond);

class StdRerunJob : public StdJob {
public:
    explicit StdRerunJob(StdWorker* home) : fHome(home) {}
    void Run() override {
        if (--fLeft > 0) {
            fHome->Post(this);
        } else {
            fBatches.Add();
        }
    }

    StdWorker* fHome;
    int64_t fLeft = 0;
    Completion fBatches;
};

void BM_StdThreads_Rerun(benchmark::State& state) {
    auto workers = MakeWorkers(1);
    StdRerunJob job(workers.front().get());
    uint64_t batches = 0;
    bench::MeasureBatches(state, kRerunsPerBatch, "runs/s", [&] {
        job.fLeft = kRerunsPerBatch;
        workers.front()->Post(&job);
        job.fBatches.WaitFor(++batches);
    });
    workers.clear();
}
BENCHMARK(BM_StdThreads_Rerun)->UseRealTime()->Unit(benchmark::kMicrosecond);

// ---- Parking ------------------------------------------------------------------------------
// Each task parks itself for 1 ms, then its timer run ends the operation. The time is set by
// the timers' 10 ms granularity; what matters here is that a park allocates nothing (the
// timer heap has room for 1023 parked tasks per thread before it grows).

constexpr uint32_t kParkedTasks = 100;

class ParkingTask : public Task {
public:
    explicit ParkingTask(Completion* woken) : fWoken(woken) {}
    int64_t Run() override {
        if ((TakeEvents() & kTimerEvent) == 0) return 1;
        fWoken->Add();
        return 0;
    }

private:
    Completion* fWoken;
};

void BM_Task_Park(benchmark::State& state) {
    StartPool();
    Completion woken;
    std::vector<std::unique_ptr<ParkingTask>> tasks;
    for (uint32_t i = 0; i < kParkedTasks; ++i)
        tasks.push_back(std::make_unique<ParkingTask>(&woken));
    uint64_t expected = 0;
    bench::MeasureBatches(state, kParkedTasks, "parks/s", [&] {
        for (auto& task : tasks)
            task->Signal(kWorkEvent);
        woken.WaitFor(expected += kParkedTasks);
        WaitUntilAllIdle(tasks);
    });
}
BENCHMARK(BM_Task_Park)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---- Idle cost ----------------------------------------------------------------------------
// The CPU the process uses while the pool waits for work. Idle task threads look at their
// timers every 10 ms, so the reference is as many standard threads waking every 10 ms from a
// timed condition-variable wait.

void BM_TaskPool_IdleCpu(benchmark::State& state) {
    StartPool();
    bench::ReportIdleCost(state, kPoolThreads);
}
BENCHMARK(BM_TaskPool_IdleCpu)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_StdThreads_IdleCpu(benchmark::State& state) {
    std::mutex mutex;
    std::condition_variable cond;
    bool stop = false;
    std::vector<std::thread> threads;
    for (uint32_t i = 0; i < kPoolThreads; ++i) {
        threads.emplace_back([&] {
            std::unique_lock<std::mutex> lock(mutex);
            while (!stop)
                cond.wait_for(lock, std::chrono::milliseconds(10));
        });
    }
    bench::ReportIdleCost(state, kPoolThreads);
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
    }
    cond.notify_all();
    for (auto& thread : threads)
        thread.join();
}
BENCHMARK(BM_StdThreads_IdleCpu)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
