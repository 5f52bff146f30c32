#include "TCPListenerSocket.h"

#include <cstdio>

#include "OS.h"
#include "OSAssert.h"
#include "OSAtomic.h"
#include "OSThread.h"

TCPListenerSocket::TCPListenerSocket() : Socket(this, kSocketNonBlocking) {
    SetTaskName("TCPListenerSocket");
}

int32_t TCPListenerSocket::Listen(uint32_t address, uint16_t port, int32_t backlog) {
    return Listen(NetAddress::IPv4(address, port), backlog);
}

int32_t TCPListenerSocket::Listen(const NetAddress& address, int32_t backlog) {
    int32_t error = Open(kStreamType, address.GetFamily());
    if (error != 0) return error;
    Platform::PrepareListeningSocket(fSocket);  // an improvement only: failure is harmless
    if (address.IsIPv6()) error = SetIPv6Only(!fDualStack);
    if (error == 0 && fSharePort && Platform::SharePort(fSocket) != 0)
        error = OSThread::LastErrorCode();
    if (error == 0) error = Bind(address);
    if (error == 0 && Platform::ListenSocket(fSocket, backlog) != 0)
        error = OSThread::LastErrorCode();
    if (error != 0) {
        Dispose();
        return error;
    }
    ArmEvent(kWatchRead);
    return 0;
}

uint32_t TCPListenerSocket::GetAcceptFailures() const {
    return AtomicRead(&fAcceptFailures);
}

uint32_t TCPListenerSocket::GetTurnedAway() const {
    return AtomicRead(&fTurnedAway);
}

int64_t TCPListenerSocket::Run() {
    // Returning negative deletes the listener; its destruction closes the socket.
    if (TakeEvents() & kStopEvent) return -1;
    for (uint32_t accepted = 0; accepted < kAcceptsPerRun; ++accepted) {
        Platform::SocketAddressStorage remote{};
        const int32_t handle = Platform::AcceptNonBlockingSocket(fSocket, &remote);
        if (handle != -1) {
            HandOver(handle, &remote);
            continue;
        }
        const int32_t error = OSThread::LastErrorCode();
        if (error == EAGAIN) break;
        // A connection reset before it was accepted, or an interrupted call: go on.
        if (error == EPIPE || error == EINTR) continue;
        AtomicAdd(&fAcceptFailures, 1);
        return kAcceptPauseMSec;
    }
    // Armed again with connections still waiting, the socket is ready at once: the rest
    // come after other tasks had their turn.
    ArmEvent(kWatchRead);
    return 0;
}

void TCPListenerSocket::HandOver(int32_t handle, Platform::SocketAddressStorage* remote) {
    NetAddress::UnmapSocketAddress(remote);
    TCPSocket* socket = nullptr;
    Task* task = CreateConnectionTask(IPv4Of(*remote),
                                      Platform::NetworkToHost16(remote->fIPv4.fPort), &socket);
    Assert(task == nullptr || socket != nullptr);
    if (task == nullptr || socket == nullptr) {
        Platform::CloseSocket(handle);
        return;
    }
    // Closed at once, the connection is not left waiting for a number; the task learns of
    // it on its first run and ends.
    if (socket->Attach(handle, *remote) != 0) TurnedAway();
    task->Signal(Task::kReadEvent);
}

void TCPListenerSocket::TurnedAway() {
    AtomicAdd(&fTurnedAway, 1);
    ++fTurnedAwayUnreported;
    const int64_t now = OS::Milliseconds();
    if (fTurnedAwayReported && now - fTurnedAwayReportedAt < kTurnedAwayReportMSec) return;
    fTurnedAwayReported = true;
    fTurnedAwayReportedAt = now;
    char text[kAssertBufferSize];
    snprintf(text, sizeof(text),
             "TCPListenerSocket: port %u closed %u new connection%s at once: all %u message "
             "numbers of the process are in use",
             unsigned(GetLocalPort()), unsigned(fTurnedAwayUnreported),
             fTurnedAwayUnreported == 1 ? "" : "s", unsigned(kMessageNumberCount));
    fTurnedAwayUnreported = 0;
    ReportAssertion(text);
}
