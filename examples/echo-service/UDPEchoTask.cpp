#include "UDPEchoTask.h"

#include "EchoService.h"

UDPEchoTask::UDPEchoTask(EchoService* service)
    : fService(service), fSocket(this, Socket::kSocketNonBlocking) {
    SetTaskName("UDPEcho");
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
    EchoStats& stats = fService->Stats();
    for (uint32_t turn = 0; turn < kDatagramsPerRun; ++turn) {
        if (fHolding) {
            const int32_t error = fSocket.SendDatagram(fSender, fBuffer, fLength);
            if (error == EAGAIN) {
                fSocket.ArmEvent(kWatchWrite);
                return 0;
            }
            fHolding = false;
            if (error != 0) {
                stats.fDatagramErrors.fetch_add(1, std::memory_order_relaxed);
            } else {
                stats.fDatagramsEchoed.fetch_add(1, std::memory_order_relaxed);
                stats.fDatagramBytesEchoed.fetch_add(fLength, std::memory_order_relaxed);
            }
        }
        const int32_t error = fSocket.ReceiveDatagram(&fSender, fBuffer, sizeof(fBuffer), &fLength);
        if (error == EAGAIN) {
            fSocket.ArmEvent(kWatchRead);
            return 0;
        }
        // A failed receive (on Windows, for example, the report that an earlier reply
        // found no one listening) costs that datagram only.
        if (error != 0) {
            stats.fDatagramErrors.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        fHolding = true;
    }
    if (fHolding) {
        fSocket.ArmEvent(kWatchWrite);
        return 0;
    }
    fSocket.ArmEvent(kWatchRead);
    return 0;
}
