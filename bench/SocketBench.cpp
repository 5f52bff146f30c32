// Loopback ping-pong through the runtime (sockets armed on the event loop, tasks on task
// threads) beside the same exchange between two plain threads on blocking sockets, which
// is what the machine allows. TCP counts round trips, UDP datagrams; every measurement
// reports per iteration, across all threads of the process, the heap allocations
// ("allocs/op"), the context switches ("switches") and the processor time ("cpu_us"): on a
// shared machine the last two say more than the wall-clock rate.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "CountingAllocator.h"
#include "RuntimeHost.h"
#include "Socket.h"
#include "SocketUtils.h"
#include "Task.h"
#include "UDPSocket.h"
#include "platform/Platform.h"
#include "support/Loopback.h"

namespace {

using bench::AllocationCounter;

// Context switches and processor time of the whole process while it lives.
class ProcessCost {
public:
    explicit ProcessCost(benchmark::State& state) : fState(state) {
        getrusage(RUSAGE_SELF, &fStart);
    }
    ~ProcessCost() {
        rusage end;
        getrusage(RUSAGE_SELF, &end);
        const double switches =
            double(end.ru_nvcsw - fStart.ru_nvcsw) + double(end.ru_nivcsw - fStart.ru_nivcsw);
        const double cpuMicroseconds = Microseconds(end.ru_utime) + Microseconds(end.ru_stime) -
                                       Microseconds(fStart.ru_utime) -
                                       Microseconds(fStart.ru_stime);
        fState.counters["switches"] =
            benchmark::Counter(switches, benchmark::Counter::kAvgIterations);
        fState.counters["cpu_us"] =
            benchmark::Counter(cpuMicroseconds, benchmark::Counter::kAvgIterations);
    }

private:
    static double Microseconds(const timeval& time) {
        return double(time.tv_sec) * 1e6 + double(time.tv_usec);
    }
    benchmark::State& fState;
    rusage fStart;
};

constexpr uint32_t kMessageSize = 64;
constexpr int64_t kBatch = 1000;  // round trips the tasks make per hand-off to the bench
constexpr uint32_t kConnectedNonBlocking = Socket::kSocketConnected | Socket::kSocketNonBlocking;

// The runtime as a host brings it up: the event loop and two task threads (one per core
// here).
void BringUpRuntime() {
    std::string error;
    RuntimeHost::Start({.fTaskThreads = 2}, &error);
}

// A connected pair of blocking stream sockets over loopback, without delayed small sends.
bool StreamPair(Platform::SocketHandle* client, Platform::SocketHandle* server) {
    if (!MakeStreamPair(client, server)) return false;
    const int32_t on = 1;
    for (Platform::SocketHandle socket : {*client, *server})
        Platform::SetSocketOption(socket, Platform::SocketOption::kNoDelay, &on, sizeof(on));
    return true;
}

// Blocks until `length` bytes have arrived on a blocking stream socket; false at its end.
bool ReceiveAll(Platform::SocketHandle socket, char* buffer, uint32_t length) {
    uint32_t have = 0;
    while (have < length) {
        const int32_t count = Platform::ReceiveSocket(socket, buffer + have, length - have);
        if (count <= 0) return false;
        have += uint32_t(count);
    }
    return true;
}

// Tells the bench thread that a batch is done, without spinning a core.
class BatchSignal {
public:
    void Reset() { fDone.store(0); }
    void Finish() {
        fDone.store(1);
        fDone.notify_one();
    }
    void Wait() { fDone.wait(0); }

private:
    std::atomic<uint32_t> fDone{0};
};

// ---- TCP ping-pong -------------------------------------------------------------------------

// Answers every whole message with one of its own. After an answer it arms at once instead
// of reading again: nothing more comes before the answer, and arming looks at the socket
// anyway, so no wake-up is lost.
class EchoTask : public Task {
public:
    EchoTask() : fSocket(this, kConnectedNonBlocking) {}
    int64_t Run() override {
        TakeEvents();
        for (;;) {
            uint32_t count = 0;
            const int32_t result = fSocket.Read(fBuffer + fHave, kMessageSize - fHave, &count);
            if (result == EAGAIN) break;
            if (result != 0) return 0;  // the connection ended
            fHave += count;
            if (fHave == kMessageSize) {
                fHave = 0;
                uint32_t sent = 0;
                fSocket.Send(fBuffer, kMessageSize, &sent);  // 64 bytes always fit
                break;
            }
        }
        fSocket.ArmEvent(kWatchRead);
        return 0;
    }
    Socket fSocket;

private:
    char fBuffer[kMessageSize] = {};
    uint32_t fHave = 0;
};

// Sends a message, waits for its answer and sends the next, fRemaining times; then tells
// the bench thread.
class PingTask : public Task {
public:
    PingTask() : fSocket(this, kConnectedNonBlocking) {}
    void StartBatch(int64_t roundTrips) {
        fRemaining = roundTrips;
        fDone.Reset();
        fStart.store(true);
        Signal(kReadEvent);
    }
    int64_t Run() override {
        TakeEvents();
        if (fStart.exchange(false)) SendPing();
        for (;;) {
            uint32_t count = 0;
            const int32_t result = fSocket.Read(fBuffer + fHave, kMessageSize - fHave, &count);
            if (result == EAGAIN) break;
            if (result != 0) return 0;
            fHave += count;
            if (fHave < kMessageSize) continue;
            fHave = 0;
            if (--fRemaining == 0) {
                fDone.Finish();
                return 0;  // not armed: the next batch starts with a signal
            }
            SendPing();
            break;  // the answer cannot be there yet
        }
        fSocket.ArmEvent(kWatchRead);
        return 0;
    }
    void SendPing() {
        uint32_t sent = 0;
        fSocket.Send(fBuffer, kMessageSize, &sent);
    }
    Socket fSocket;
    BatchSignal fDone;

private:
    std::atomic<bool> fStart{false};
    int64_t fRemaining = 0;
    char fBuffer[kMessageSize] = {};
    uint32_t fHave = 0;
};

void BM_RuntimeTcp_PingPong(benchmark::State& state) {
    BringUpRuntime();
    Platform::SocketHandle client, server;
    if (!StreamPair(&client, &server)) {
        state.SkipWithError("no loopback connection");
        return;
    }
    // Tasks and sockets live on after the run: their Run never returns a negative result.
    auto* ping = new PingTask;
    auto* echo = new EchoTask;
    ping->fSocket.SetNonBlocking(client);
    echo->fSocket.SetNonBlocking(server);
    echo->fSocket.ArmEvent(kWatchRead);
    {
        AllocationCounter allocations;
        ProcessCost cost(state);
        while (state.KeepRunningBatch(kBatch)) {
            ping->StartBatch(kBatch);
            ping->fDone.Wait();
        }
        allocations.Report(state);
    }
    state.SetItemsProcessed(state.iterations());  // round trips
    // The echo task may still be arming its socket: both stay as they are, idle.
}
BENCHMARK(BM_RuntimeTcp_PingPong)->UseRealTime();

void BM_PlainThreadsTcp_PingPong(benchmark::State& state) {
    Platform::SocketHandle client, server;
    if (!StreamPair(&client, &server)) {
        state.SkipWithError("no loopback connection");
        return;
    }
    std::thread echo([server] {
        char buffer[kMessageSize];
        while (ReceiveAll(server, buffer, kMessageSize))
            Platform::SendSocket(server, buffer, kMessageSize);
    });
    char buffer[kMessageSize] = {};
    {
        AllocationCounter allocations;
        ProcessCost cost(state);
        for (auto _ : state) {
            Platform::SendSocket(client, buffer, kMessageSize);
            ReceiveAll(client, buffer, kMessageSize);
        }
        allocations.Report(state);
    }
    state.SetItemsProcessed(state.iterations());
    Platform::CloseSocket(client);
    echo.join();
    Platform::CloseSocket(server);
}
BENCHMARK(BM_PlainThreadsTcp_PingPong)->UseRealTime();

// ---- UDP ping-pong -------------------------------------------------------------------------

// Sends every datagram back to its sender.
class DatagramEchoTask : public Task {
public:
    DatagramEchoTask() : fSocket(this, Socket::kSocketNonBlocking) {}
    int64_t Run() override {
        TakeEvents();
        uint32_t address = 0, length = 0;
        uint16_t port = 0;
        // One datagram per run: arming again finds any other waiting.
        if (fSocket.ReceiveDatagram(&address, &port, fBuffer, sizeof(fBuffer), &length) == 0)
            fSocket.SendDatagram(address, port, fBuffer, length);
        fSocket.ArmEvent(kWatchRead);
        return 0;
    }
    UDPSocket fSocket;

private:
    char fBuffer[kMessageSize];
};

class DatagramPingTask : public Task {
public:
    DatagramPingTask() : fSocket(this, Socket::kSocketNonBlocking) {}
    void StartBatch(int64_t roundTrips, uint16_t echoPort) {
        fRemaining = roundTrips;
        fEchoPort = echoPort;
        fDone.Reset();
        fStart.store(true);
        Signal(kReadEvent);
    }
    int64_t Run() override {
        TakeEvents();
        if (fStart.exchange(false)) SendPing();
        uint32_t address = 0, length = 0;
        uint16_t port = 0;
        if (fSocket.ReceiveDatagram(&address, &port, fBuffer, sizeof(fBuffer), &length) == 0) {
            if (--fRemaining == 0) {
                fDone.Finish();
                return 0;
            }
            SendPing();
        }
        fSocket.ArmEvent(kWatchRead);
        return 0;
    }
    void SendPing() { fSocket.SendDatagram(kLoopbackAddress, fEchoPort, fBuffer, kMessageSize); }
    UDPSocket fSocket;
    BatchSignal fDone;

private:
    std::atomic<bool> fStart{false};
    int64_t fRemaining = 0;
    uint16_t fEchoPort = 0;
    char fBuffer[kMessageSize] = {};
};

void BM_RuntimeUdp_PingPong(benchmark::State& state) {
    BringUpRuntime();
    auto* ping = new DatagramPingTask;
    auto* echo = new DatagramEchoTask;
    if (ping->fSocket.Open(Socket::kDatagramType) != 0 ||
        ping->fSocket.Bind(kLoopbackAddress, 0) != 0 ||
        echo->fSocket.Open(Socket::kDatagramType) != 0 ||
        echo->fSocket.Bind(kLoopbackAddress, 0) != 0) {
        state.SkipWithError("no loopback datagram sockets");
        return;
    }
    echo->fSocket.ArmEvent(kWatchRead);
    {
        AllocationCounter allocations;
        ProcessCost cost(state);
        while (state.KeepRunningBatch(kBatch)) {
            ping->StartBatch(kBatch, echo->fSocket.GetLocalPort());
            ping->fDone.Wait();
        }
        allocations.Report(state);
    }
    state.SetItemsProcessed(2 * state.iterations());  // datagrams
    // The echo task may still be arming its socket: both stay as they are, idle.
}
BENCHMARK(BM_RuntimeUdp_PingPong)->UseRealTime();

void BM_PlainThreadsUdp_PingPong(benchmark::State& state) {
    uint16_t pingPort = 0, echoPort = 0;
    const Platform::SocketHandle ping = OpenBoundDatagramSocket(&pingPort);
    const Platform::SocketHandle echo = OpenBoundDatagramSocket(&echoPort);
    std::thread echoThread([echo] {
        char buffer[kMessageSize];
        Platform::SocketAddress sender{};
        for (;;) {
            const int32_t length =
                Platform::ReceiveSocketFrom(echo, buffer, sizeof(buffer), &sender);
            if (length <= 0) return;  // an empty datagram ends it
            Platform::SendSocketTo(echo, buffer, uint32_t(length), &sender);
        }
    });
    const Platform::SocketAddress echoAddress = LoopbackAddress(echoPort);
    char buffer[kMessageSize] = {};
    Platform::SocketAddress sender{};
    {
        AllocationCounter allocations;
        ProcessCost cost(state);
        for (auto _ : state) {
            Platform::SendSocketTo(ping, buffer, kMessageSize, &echoAddress);
            Platform::ReceiveSocketFrom(ping, buffer, sizeof(buffer), &sender);
        }
        allocations.Report(state);
    }
    state.SetItemsProcessed(2 * state.iterations());
    Platform::SendSocketTo(ping, buffer, 0, &echoAddress);
    echoThread.join();
    Platform::CloseSocket(ping);
    Platform::CloseSocket(echo);
}
BENCHMARK(BM_PlainThreadsUdp_PingPong)->UseRealTime();

}  // namespace
