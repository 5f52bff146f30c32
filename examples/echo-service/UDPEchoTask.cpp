#include "UDPEchoTask.h"

#include <utility>

#include "EchoService.h"

UDPEchoTask::UDPEchoTask(EchoService* service)
    : fService(service), fSocket(this, Socket::kSocketNonBlocking) {
    SetTaskName("UDPEcho");
    for (uint32_t i = 0; i < kDatagramsPerRun; ++i)
        fBatch[i] = {.fData = fBuffers[i], .fCapacity = kLargestDatagram};
    fMember.Join(service->Serving());
}

UDPEchoTask::~UDPEchoTask() {
    fSocket.Dispose();
}

int32_t UDPEchoTask::Bind(const NetAddress& address, bool ipv4Too) {
    int32_t error = fSocket.Open(Socket::kDatagramType, address.GetFamily());
    if (error == 0 && address.IsIPv6()) error = fSocket.SetIPv6Only(!ipv4Too);
    return error != 0 ? error : fSocket.Bind(address);
}

int64_t UDPEchoTask::Run() {
    if (TakeEvents() & kStopEvent) return -1;
    // The socket is read only once what an earlier run held has gone back.
    bool drained = SendHeld();
    if (drained) {
        ReceiveBatch();
        drained = SendHeld();
    }
    fSocket.ArmEvent(drained ? kWatchRead : kWatchWrite);
    return 0;
}

void UDPEchoTask::ReceiveBatch() {
    for (uint32_t budget = kDatagramsPerRun; budget > 0; --budget) {
        uint32_t received = 0;
        const int32_t error = fSocket.ReceiveDatagrams(fBatch, budget, &received);
        // A failed receive (on Windows, for example, the report that an earlier reply
        // found no one listening) costs that datagram only.
        if (error != 0 && error != EAGAIN) {
            fService->Stats().fDatagramErrors.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        // A full batch spent the budget; a short one, or none, left the socket empty, and
        // the readiness source knows it.
        if (error == 0) KeepWholeDatagrams(received);
        return;
    }
}

void UDPEchoTask::KeepWholeDatagrams(uint32_t received) {
    fFirstHeld = 0;
    fHeld = 0;
    for (uint32_t i = 0; i < received; ++i) {
        if (fBatch[i].fError != 0) {
            fService->Stats().fDatagramErrors.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        // Swapped, not copied: every entry keeps a buffer of its own.
        if (i != fHeld) std::swap(fBatch[i], fBatch[fHeld]);
        ++fHeld;
    }
}

bool UDPEchoTask::SendHeld() {
    EchoStats& stats = fService->Stats();
    while (fHeld > 0) {
        uint32_t sent = 0;
        const int32_t error = fSocket.SendDatagrams(fBatch + fFirstHeld, fHeld, &sent);
        if (error == EAGAIN) return false;
        if (error != 0) {
            stats.fDatagramErrors.fetch_add(1, std::memory_order_relaxed);
            sent = 1;  // that datagram is lost, as a failed single send loses it
        } else {
            uint64_t bytes = 0;
            for (uint32_t i = 0; i < sent; ++i)
                bytes += fBatch[fFirstHeld + i].fLength;
            stats.fDatagramsEchoed.fetch_add(sent, std::memory_order_relaxed);
            stats.fDatagramBytesEchoed.fetch_add(bytes, std::memory_order_relaxed);
        }
        fFirstHeld += sent;
        fHeld -= sent;
    }
    return true;
}
