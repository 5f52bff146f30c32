// The readiness path, each measurement beside a bare epoll loop doing the same socket work:
// the time from a datagram's send to the start of its owning task's run, and the rate at
// which many sockets are re-armed and delivered. The signal-to-run latency of the same pool
// is measured in the same run, since the readiness path is one readiness wait followed by
// one signal. "allocs/op" counts every thread's allocations per operation once warm.
//
// Native Linux only: the references use epoll directly.
#include <benchmark/benchmark.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "EventContext.h"
#include "Task.h"
#include "platform/Platform.h"
#include "support/Loopback.h"

namespace {

using bench::Completion;
using bench::NowNanoseconds;

constexpr uint32_t kPoolThreads = 2;

void StartRuntime() {
    bench::StartEventLoop();
    bench::StartTaskThreads(kPoolThreads);
}

// ---- Loopback datagram sockets ------------------------------------------------------------

// A non-blocking datagram socket bound to 127.0.0.1 on a port the system chose.
struct BoundSocket {
    BoundSocket() {
        fHandle = Platform::OpenSocket(Platform::kSocketDatagram);
        const Platform::SocketAddress any = LoopbackAddress(0);
        Platform::BindSocket(fHandle, &any);
        Platform::SetSocketNonBlocking(fHandle);
        Platform::GetSocketName(fHandle, &fAddress);
    }
    Platform::SocketHandle fHandle;
    Platform::SocketAddress fAddress{};
};

// Sends one-byte datagrams from a socket of its own.
class Sender {
public:
    Sender() : fHandle(Platform::OpenSocket(Platform::kSocketDatagram)) {}
    ~Sender() { Platform::CloseSocket(fHandle); }
    void SendTo(const Platform::SocketAddress& target) {
        const char byte = 'x';
        Platform::SendSocketTo(fHandle, &byte, 1, &target);
    }

private:
    Platform::SocketHandle fHandle;
};

// Takes every datagram waiting, as a task does before it arms again.
void Drain(Platform::SocketHandle socket) {
    char buffer[64];
    Platform::SocketAddress sender;
    while (Platform::ReceiveSocketFrom(socket, buffer, sizeof(buffer), &sender) > 0) {
    }
}

// ---- Signal-to-run latency of this pool ---------------------------------------------------

void BM_Task_SignalToRun(benchmark::State& state) {
    StartRuntime();
    bench::SignalToRunLatency(state);
}
BENCHMARK(BM_Task_SignalToRun)
    ->Iterations(bench::kLatencySamples)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// ---- Readiness-to-run latency -------------------------------------------------------------
// One sample is the time from just before a datagram is sent to an idle, armed socket until
// the start of the run it causes: loopback delivery, the event loop's wake-up, the registry
// look-up, the signal and the task thread's wake-up.

class ReadinessTask : public Task {
public:
    void Attach(EventContext* context) { fContext = context; }
    int64_t Run() override {
        fRunAt = NowNanoseconds();
        TakeEvents();
        Drain(fContext->GetSocketFD());
        fContext->ArmEvent(kWatchRead);
        fRuns.Add();
        return 0;
    }

    int64_t fRunAt = 0;  // published to the waiter through fRuns
    Completion fRuns;

private:
    EventContext* fContext = nullptr;
};

void BM_Event_ReadinessToRun(benchmark::State& state) {
    StartRuntime();
    BoundSocket socket;
    Sender sender;
    ReadinessTask task;
    {
        EventContext context(-1, Socket::sEventLoop);
        context.SetNonBlocking(socket.fHandle);
        context.SetTask(&task);
        task.Attach(&context);
        context.ArmEvent(kWatchRead);

        uint64_t runs = 0;
        bench::MeasureLatency(state, [&] {
            std::this_thread::sleep_for(bench::kSamplePause);
            const int64_t sentAt = NowNanoseconds();
            sender.SendTo(socket.fAddress);
            task.fRuns.WaitFor(++runs);
            const int64_t latency = task.fRunAt - sentAt;
            bench::WaitUntilIdle(task);
            return latency;
        });
    }  // the context is disposed (closing the socket) before the task goes
}
BENCHMARK(BM_Event_ReadinessToRun)
    ->Iterations(bench::kLatencySamples)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// The reference: one thread blocked in a bare one-shot epoll wait on the socket, which
// drains and re-arms it on every wake-up; one sample ends at the wait's return.
void BM_Epoll_ReadinessWait(benchmark::State& state) {
    BoundSocket socket;
    Sender sender;
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    epoll_event armed{};
    armed.events = EPOLLIN | EPOLLONESHOT;
    armed.data.fd = socket.fHandle;
    epoll_ctl(epoll, EPOLL_CTL_ADD, socket.fHandle, &armed);

    std::atomic<bool> stop{false};
    int64_t wokeAt = 0;  // published to the waiter through wakes
    Completion wakes;
    std::thread waiter([&] {
        for (;;) {
            epoll_event event;
            if (epoll_wait(epoll, &event, 1, -1) != 1) continue;
            wokeAt = NowNanoseconds();
            Drain(socket.fHandle);
            if (stop) return;
            epoll_ctl(epoll, EPOLL_CTL_MOD, socket.fHandle, &armed);
            wakes.Add();
        }
    });

    uint64_t count = 0;
    bench::MeasureLatency(state, [&] {
        std::this_thread::sleep_for(bench::kSamplePause);
        const int64_t sentAt = NowNanoseconds();
        sender.SendTo(socket.fAddress);
        wakes.WaitFor(++count);
        return wokeAt - sentAt;
    });

    stop = true;
    sender.SendTo(socket.fAddress);
    waiter.join();
    close(epoll);
    Platform::CloseSocket(socket.fHandle);
}
BENCHMARK(BM_Epoll_ReadinessWait)
    ->Iterations(bench::kLatencySamples)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// ---- Re-arm and delivery rate over many sockets -------------------------------------------
// Every socket holds one datagram that nobody reads, so it stays ready: each re-arm is
// delivered at once, and its task re-arms on every delivery. What is measured is the
// arm -> deliver -> signal -> run cycle itself, with 64 sockets in flight at once.

constexpr uint32_t kReadySockets = 64;
constexpr int64_t kDeliveriesPerBatch = 1024;

class RearmingTask : public Task {
public:
    RearmingTask(Completion* deliveries, const std::atomic<bool>* stop)
        : fDeliveries(deliveries), fStop(stop) {}
    void Attach(EventContext* context) { fContext = context; }
    int64_t Run() override {
        TakeEvents();
        fDeliveries->Add();
        if (!fStop->load()) fContext->ArmEvent(kWatchRead);
        return 0;
    }

private:
    Completion* fDeliveries;
    const std::atomic<bool>* fStop;
    EventContext* fContext = nullptr;
};

void BM_Event_RearmDelivery(benchmark::State& state) {
    StartRuntime();
    Sender sender;
    Completion deliveries;
    std::atomic<bool> stop{false};
    std::vector<std::unique_ptr<RearmingTask>> tasks;
    std::vector<std::unique_ptr<EventContext>> contexts;
    for (uint32_t i = 0; i < kReadySockets; ++i) {
        BoundSocket socket;
        sender.SendTo(socket.fAddress);  // stays unread: the socket stays ready
        tasks.push_back(std::make_unique<RearmingTask>(&deliveries, &stop));
        contexts.push_back(std::make_unique<EventContext>(-1, Socket::sEventLoop));
        contexts.back()->SetNonBlocking(socket.fHandle);
        contexts.back()->SetTask(tasks.back().get());
        tasks.back()->Attach(contexts.back().get());
    }
    for (auto& context : contexts)
        context->ArmEvent(kWatchRead);

    uint64_t expected = 0;
    bench::MeasureBatches(state, kDeliveriesPerBatch, "deliveries/s",
                          [&] { deliveries.WaitFor(expected += kDeliveriesPerBatch); });

    // Each socket is delivered at most once more; then no task arms again.
    stop = true;
    bench::WaitBriefly([&] {
        const uint64_t seen = deliveries.Count();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (seen != deliveries.Count()) return false;
        for (auto& task : tasks)
            if (task->GetEvents() != 0) return false;
        return true;
    });
    contexts.clear();  // unregisters and closes every socket before the tasks go
}
BENCHMARK(BM_Event_RearmDelivery)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The reference: the benchmark thread itself takes one event at a time from a bare epoll
// instance holding the same 64 ready one-shot sockets and re-arms each as it comes.
void BM_Epoll_RearmDelivery(benchmark::State& state) {
    Sender sender;
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    std::vector<Platform::SocketHandle> sockets;
    for (uint32_t i = 0; i < kReadySockets; ++i) {
        BoundSocket socket;
        sender.SendTo(socket.fAddress);
        sockets.push_back(socket.fHandle);
        epoll_event armed{};
        armed.events = EPOLLIN | EPOLLONESHOT;
        armed.data.fd = socket.fHandle;
        epoll_ctl(epoll, EPOLL_CTL_ADD, socket.fHandle, &armed);
    }
    bench::MeasureBatches(state, kDeliveriesPerBatch, "deliveries/s", [&] {
        for (int64_t i = 0; i < kDeliveriesPerBatch; ++i) {
            epoll_event event;
            if (epoll_wait(epoll, &event, 1, -1) != 1) continue;
            event.events = EPOLLIN | EPOLLONESHOT;
            epoll_ctl(epoll, EPOLL_CTL_MOD, event.data.fd, &event);
        }
    });
    close(epoll);
    for (Platform::SocketHandle socket : sockets)
        Platform::CloseSocket(socket);
}
BENCHMARK(BM_Epoll_RearmDelivery)->UseRealTime()->Unit(benchmark::kMicrosecond);

// ---- Idle cost ----------------------------------------------------------------------------
// The pool and the event loop waiting for work: the task threads wake every 10 ms, the event
// loop only when a socket is ready.

void BM_Runtime_IdleCpu(benchmark::State& state) {
    StartRuntime();
    bench::ReportIdleCost(state, kPoolThreads + 1);
}
BENCHMARK(BM_Runtime_IdleCpu)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
