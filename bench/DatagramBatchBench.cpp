// Datagrams over loopback between two runtime sockets on one thread, 32 of 64 bytes per
// iteration: one batch call each way beside a loop of the single calls. Counts datagrams
// sent and received.
#include <benchmark/benchmark.h>

#include "UDPSocket.h"
#include "support/Loopback.h"

namespace {

constexpr uint32_t kDatagrams = 32;
constexpr uint32_t kDatagramSize = 64;

struct DatagramPair {
    DatagramPair() {
        for (UDPSocket* socket : {&fSender, &fReceiver})
            fOpen = fOpen && socket->Open(Socket::kDatagramType) == 0 &&
                    socket->Bind(kLoopbackAddress, 0) == 0;
        const NetAddress to = NetAddress::IPv4(kLoopbackAddress, fReceiver.GetLocalPort());
        for (uint32_t i = 0; i < kDatagrams; ++i) {
            fOut[i] = {fBytes[i], 0, kDatagramSize, to, 0};
            fIn[i] = {fBuffers[i], kDatagramSize, 0, NetAddress(), 0};
        }
    }
    ~DatagramPair() {
        fSender.Dispose();
        fReceiver.Dispose();
    }

    UDPSocket fSender{nullptr, Socket::kSocketNonBlocking};
    UDPSocket fReceiver{nullptr, Socket::kSocketNonBlocking};
    bool fOpen = true;
    UDPSocket::Datagram fOut[kDatagrams];
    UDPSocket::Datagram fIn[kDatagrams];
    char fBytes[kDatagrams][kDatagramSize] = {};
    char fBuffers[kDatagrams][kDatagramSize];
};

void BM_UdpSingleCalls_32x64(benchmark::State& state) {
    DatagramPair pair;
    if (!pair.fOpen) return state.SkipWithError("no loopback datagram sockets");
    for (auto _ : state) {
        for (const UDPSocket::Datagram& out : pair.fOut)
            pair.fSender.SendDatagram(out.fPeer, out.fData, out.fLength);
        for (uint32_t taken = 0; taken < kDatagrams;) {
            UDPSocket::Datagram& in = pair.fIn[taken];
            if (pair.fReceiver.ReceiveDatagram(&in.fPeer, in.fData, in.fCapacity, &in.fLength) == 0)
                ++taken;
        }
    }
    state.SetItemsProcessed(int64_t(2 * kDatagrams) * state.iterations());
}
BENCHMARK(BM_UdpSingleCalls_32x64);

void BM_UdpBatchCalls_32x64(benchmark::State& state) {
    DatagramPair pair;
    if (!pair.fOpen) return state.SkipWithError("no loopback datagram sockets");
    for (auto _ : state) {
        for (uint32_t sent = 0, count = 0; sent < kDatagrams; sent += count)
            pair.fSender.SendDatagrams(pair.fOut + sent, kDatagrams - sent, &count);
        for (uint32_t taken = 0, count = 0; taken < kDatagrams; taken += count)
            pair.fReceiver.ReceiveDatagrams(pair.fIn + taken, kDatagrams - taken, &count);
    }
    state.SetItemsProcessed(int64_t(2 * kDatagrams) * state.iterations());
}
BENCHMARK(BM_UdpBatchCalls_32x64);

}  // namespace
