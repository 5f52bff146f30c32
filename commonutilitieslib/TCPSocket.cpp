#include "TCPSocket.h"

#include "OSAssert.h"
#include "OSThread.h"

namespace {

// The runtime's error number for a platform error code (as the pending error of a socket
// comes), through the one table that maps the calling thread's last error.
int32_t ErrorNumberOf(uint32_t platformCode) {
    Platform::SetLastError(platformCode);
    return OSThread::LastErrorCode();
}

}  // namespace

TCPSocket::TCPSocket(Task* notifyTask, uint32_t flags)
    : Socket(notifyTask, flags | kSocketNonBlocking) {}

// Here, not only in the base: a delivery in progress calls OnEvent virtually, so the socket
// leaves the event loop before any destructor changes what the object is.
TCPSocket::~TCPSocket() {
    if (fCloseOnDestroy) Dispose();
}

int32_t TCPSocket::Attach(int32_t handle, const Platform::SocketAddressStorage& remote) {
    Assert(fSocket == -1);
    fSocket = handle;
    fRemoteAddress = remote;
    // A connection that could never be signalled would stay open with nobody serving it.
    const int32_t reserved = ReserveMessageNumber();
    if (reserved != 0) {
        Dispose();
        return reserved;
    }
    Connected();
    return 0;
}

void TCPSocket::Connected() {
    Platform::GetSocketName(fSocket, &fLocalAddress);
    NetAddress::UnmapSocketAddress(&fLocalAddress);
    fFlags |= kSocketBound | kSocketConnected;
}

int32_t TCPSocket::Connect(uint32_t address, uint16_t port) {
    Platform::SocketAddressStorage remote{};
    remote.fIPv4.fFamily = Platform::kAddressFamilyInet;
    remote.fIPv4.fPort = Platform::HostToNetwork16(port);
    remote.fIPv4.fAddress = Platform::HostToNetwork32(address);
    return StartConnect(remote);
}

int32_t TCPSocket::Connect(const NetAddress& address) {
    if (address.GetFamily() == NetAddress::Family::kNone) return kErrBadAddress;
    Platform::SocketAddressStorage remote;
    address.ToSocketAddress(&remote);
    return StartConnect(remote);
}

int32_t TCPSocket::StartConnect(const Platform::SocketAddressStorage& remote) {
    if (fSocket == -1) {
        const bool v6 = remote.fIPv6.fFamily == Platform::kAddressFamilyInet6;
        const int32_t opened =
            Open(kStreamType, v6 ? NetAddress::Family::kIPv6 : NetAddress::Family::kIPv4);
        if (opened != 0) return opened;
    }
    fConnectError = 0;
    fRemoteAddress = remote;
    // Armed before the attempt starts: Windows reports a connection that fails at once
    // only to a socket that is already watched.
    const int32_t armed = ArmEvent(kWatchWrite);
    if (armed != 0) {
        // An attempt nobody would be told the end of is better not made.
        fConnectError = armed;
        return armed;
    }
    if (Platform::ConnectSocket(fSocket, &fRemoteAddress) == 0) {
        Connected();
        return 0;
    }
    // Both platforms report a non-blocking connect under way as "would block".
    const int32_t error = OSThread::LastErrorCode();
    if (error == EAGAIN || error == kErrInProgress) return kErrInProgress;
    fConnectError = error;
    return error;
}

int32_t TCPSocket::CheckConnect() {
    if (IsConnected()) return 0;
    if (fConnectError != 0) return fConnectError;
    if (fSocket == -1) return kErrNotConnected;
    // A failed attempt leaves its error pending on the socket; reading it clears it.
    const uint32_t pending = Platform::TakeSocketError(fSocket);
    if (pending != 0) {
        fConnectError = ErrorNumberOf(pending);
        return fConnectError;
    }
    // No error yet: only a peer's address tells a made connection from one under way (a
    // signal may come before the attempt has ended).
    Platform::SocketAddressStorage peer{};
    if (Platform::GetPeerName(fSocket, &peer) != 0) return kErrInProgress;
    Connected();
    return 0;
}

int32_t TCPSocket::ShutdownSend() {
    if (Platform::ShutdownSocketSend(fSocket) != 0) return OSThread::LastErrorCode();
    return 0;
}
