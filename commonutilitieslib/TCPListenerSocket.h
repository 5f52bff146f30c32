/// @file
/// A listening stream socket that is its own task: signalled when connections wait, it
/// accepts them without blocking until none is left, hands each to a new task as a
/// connected TCPSocket, and arms itself again. The host says what serves a connection by
/// overriding CreateConnectionTask.
///
/// Each connection needs one of the process's 7,169 message numbers (see EventContext) for
/// as long as it is open. When none is free, the listener closes the connection at once
/// instead of holding it open unserved, counts it (GetTurnedAway) and says so in one line
/// through the assertion logger at the first such connection, then at most once per
/// kTurnedAwayReportMSec with the count since. Cap the connections a process serves below
/// the limit, or spread them over several processes.
#pragma once

#include <cstdint>

#include "Socket.h"
#include "TCPSocket.h"
#include "Task.h"

/// A listener that is its own task; see the file's description. The host makes it with new,
/// subclassing it for CreateConnectionTask; once listening, it deletes itself as it ends.
class TCPListenerSocket : public Task, public Socket {
public:
    /// Event bit that makes the listener close its socket and end (deleting itself).
    static constexpr uint32_t kStopEvent = 0x00010000;
    static constexpr int32_t kDefaultBacklog = 1024;  ///< Connections the system queues.
    /// Connections accepted in one run before others get their turn.
    static constexpr uint32_t kAcceptsPerRun = 64;
    /// Pause before accepting again when the process has run out of handles or memory:
    /// the waiting connection keeps the socket readable, so retrying at once would spin.
    static constexpr int64_t kAcceptPauseMSec = 100;
    /// The shortest time between two reports of connections turned away.
    static constexpr int64_t kTurnedAwayReportMSec = 1000;

    TCPListenerSocket();

    /// Opens the socket, binds it to the address and port (host byte order; port 0 lets
    /// the system choose, GetLocalPort tells which), listens and arms for connections.
    /// 0, or the error (kErrAddressInUse, kErrAddressNotAvailable, ...): then the socket
    /// is closed again and the listener, which never ran, is its creator's to delete.
    int32_t Listen(uint32_t address, uint16_t port, int32_t backlog = kDefaultBacklog);
    /// The same for an IPv4 or IPv6 address and its port. An IPv6 listener takes IPv6
    /// clients alone, on every platform, unless AcceptIPv4Too was called before.
    int32_t Listen(const NetAddress& address, int32_t backlog = kDefaultBacklog);
    /// Before Listen: other listeners, in this process or others, may listen on the same
    /// address and port, and the system shares the connections among them. A service that
    /// needs more message numbers than one process has, or more than one event loop can
    /// feed, runs several processes on one port this way. Linux only: elsewhere Listen
    /// fails with kErrNotSupported.
    void SharePort() { fSharePort = true; }
    /// Before Listen on an IPv6 address (`::` for any): IPv4 clients are taken too, and read
    /// as their IPv4 addresses, as if an IPv4 listener had taken them.
    void AcceptIPv4Too() { fDualStack = true; }

    /// Any thread: the listener stops accepting, closes its socket and ends on its next
    /// run; the task thread deletes it.
    void StopListening() { Signal(kStopEvent); }

    int64_t Run() override;

    /// Accepts that failed (for want of handles or memory, say); any thread.
    uint32_t GetAcceptFailures() const;
    /// Connections closed at once because no message number was free for them.
    uint32_t GetTurnedAway() const;

protected:
    /// The host's part, called on the listener's task thread for each accepted connection:
    /// build the task that serves it and return it, with the TCPSocket it owns (built with
    /// that task, without a handle) through outSocket. The listener attaches the
    /// connection to that socket and signals the task with kReadEvent, so its first run
    /// comes at once. Return null to turn the connection away: it is closed. When no
    /// message number is free for the connection, the listener closes it all the same and
    /// still signals the task, whose first run finds its socket not connected (IsConnected
    /// is 0, Read and Send answer kErrNotConnected): the task then ends. The remote
    /// address is 0 for an IPv6 client: the socket's GetRemoteNetAddress tells it.
    virtual Task* CreateConnectionTask(uint32_t remoteAddress, uint16_t remotePort,
                                       TCPSocket** outSocket) = 0;

private:
    void HandOver(int32_t handle, Platform::SocketAddressStorage* remote);
    // Counts a connection closed for want of a message number, and reports the count
    // since the last report when that is long enough ago.
    void TurnedAway();

    bool fSharePort = false;
    bool fDualStack = false;
    uint32_t fAcceptFailures = 0;  // changed only by AtomicAdd
    uint32_t fTurnedAway = 0;      // changed only by AtomicAdd
    // Only the listener's runs touch these.
    uint32_t fTurnedAwayUnreported = 0;
    bool fTurnedAwayReported = false;
    int64_t fTurnedAwayReportedAt = 0;
};
