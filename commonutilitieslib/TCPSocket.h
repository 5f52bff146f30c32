/// @file
/// Stream sockets that get connected: either accepted by a listener (Attach) or connected
/// without blocking (Connect, then CheckConnect once the socket is writable). Either way
/// kSocketConnected is set once the connection is made, so Send and Read work.
#pragma once

#include <cstdint>

#include "Socket.h"

/// A connected stream socket, accepted or connected; see the file's description.
class TCPSocket : public Socket {
public:
    /// The socket is always non-blocking, whatever the flags say.
    TCPSocket(Task* notifyTask, uint32_t flags);
    /// Disposes the socket (see EventContext::Dispose) before the base classes are gone.
    ~TCPSocket() override;

    /// Takes a non-blocking handle that a listener accepted from the given peer and gives it
    /// its message number: marked bound and connected, its local address read back. 0; or
    /// kErrNoMessageNumber when no number is free: the handle is closed at once and the
    /// socket stays unconnected (reads and sends fail with kErrNotConnected).
    int32_t Attach(int32_t handle, const Platform::SocketAddressStorage& remote);

    /// Starts connecting to the address and port (host byte order), opening the socket
    /// first if it has no handle. 0: connected at once. kErrInProgress: under way, and the
    /// socket is armed for writing, so the task is signalled when the attempt has ended;
    /// it then calls CheckConnect. Otherwise the error, kErrNoMessageNumber among them:
    /// then no attempt was made.
    int32_t Connect(uint32_t address, uint16_t port);
    /// The same for an IPv4 or IPv6 address; the socket, if it has a handle, must be of the
    /// address's family.
    int32_t Connect(const NetAddress& address);
    /// Where a connect under way stands: 0 once connected, kErrInProgress while still under
    /// way (a signal may come early: arm for writing again and wait), or the error that
    /// ended it (the socket is then of no further use).
    int32_t CheckConnect();

    /// Shuts the sending direction down, so the peer reads the end of the stream while
    /// this side can still read. 0 or the error.
    int32_t ShutdownSend();

    /// The peer's address in host byte order; 0 for an IPv6 one.
    uint32_t GetRemoteAddress() const { return IPv4Of(fRemoteAddress); }
    /// The peer's port in host byte order.
    uint16_t GetRemotePort() const { return Platform::NetworkToHost16(fRemoteAddress.fIPv4.fPort); }
    /// The peer's address and port. A dual-stack listener's IPv4 client reads as the IPv4
    /// address it is.
    NetAddress GetRemoteNetAddress() const { return NetAddress::FromSocketAddress(fRemoteAddress); }

private:
    int32_t StartConnect(const Platform::SocketAddressStorage& remote);
    // Marks the socket connected and reads the local address the system gave it.
    void Connected();

    int32_t fConnectError = 0;  // kept once a connect failed: the pending error reads once
};
