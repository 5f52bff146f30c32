/// @file
/// Datagram sockets with multicast control, and an optional table a service can use to
/// route datagrams by their sender.
#pragma once

#include <cstdint>

#include "OSHashTable.h"
#include "OSMutex.h"
#include "Socket.h"

/// The key of a demultiplexer entry: a remote IPv4 address and port, host byte order.
class UDPDemultiplexerKey {
public:
    /// Address and port in host byte order.
    UDPDemultiplexerKey(uint32_t remoteAddress, uint16_t remotePort)
        : fRemoteAddress(remoteAddress), fRemotePort(remotePort) {}
    /// The address with the port folded into its upper half.
    uint32_t GetHashValue() const { return fRemoteAddress ^ (uint32_t(fRemotePort) << 16); }
    /// Same address and port.
    bool operator==(const UDPDemultiplexerKey& other) const {
        return fRemoteAddress == other.fRemoteAddress && fRemotePort == other.fRemotePort;
    }

private:
    uint32_t fRemoteAddress;
    uint16_t fRemotePort;
};

/// A service's entry in a demultiplexer: what stands for one remote sender. Not owned by
/// the table.
class UDPDemultiplexerEntry {
public:
    /// The sender (host byte order) and the service's object for it, not owned.
    UDPDemultiplexerEntry(uint32_t remoteAddress, uint16_t remotePort, void* object)
        : fHashValue(UDPDemultiplexerKey(remoteAddress, remotePort).GetHashValue()),
          fRemoteAddress(remoteAddress),
          fRemotePort(remotePort),
          fObject(object) {}
    /// The key the table finds the entry by.
    UDPDemultiplexerKey GetKey() const { return {fRemoteAddress, fRemotePort}; }

    uint32_t fHashValue;                            ///< The key's hash.
    UDPDemultiplexerEntry* fNextInChain = nullptr;  ///< The table's chain link.
    uint32_t fRemoteAddress;                        ///< Host byte order.
    uint16_t fRemotePort;                           ///< Host byte order.
    void* fObject;                                  ///< The service's; not owned.
};

/// A table for the service's use; the socket's operations never touch it. Its users take
/// fMutex around every use of fTable.
struct UDPDemultiplexer {
    static constexpr uint32_t kDemultiplexerBuckets = 2747;  ///< The table's bucket count.

    UDPDemultiplexer() : fTable(kDemultiplexerBuckets) {}  ///< An empty table.

    OSHashTable<UDPDemultiplexerEntry, UDPDemultiplexerKey> fTable;  ///< Entries by sender.
    OSMutex fMutex;                                                  ///< Guards fTable.
};

/// A datagram socket; see the file's description.
class UDPSocket : public Socket {
public:
    /// Construction flag: give the socket a demultiplexer.
    static constexpr uint32_t kUseDemultiplexer = 0x0100;

    /// The flags are Socket's, and kUseDemultiplexer.
    UDPSocket(Task* notifyTask, uint32_t flags);
    /// Disposes the socket (see EventContext::Dispose) and deletes the demultiplexer, if any.
    ~UDPSocket() override;

    /// Sends one datagram; address and port in host byte order. 0 or the error number.
    int32_t SendDatagram(uint32_t address, uint16_t port, const void* data, uint32_t length);
    /// One datagram with its sender (host byte order): 0, EAGAIN when none waits, or the
    /// error. The sender outputs are written even when the call fails: then they name the
    /// previous datagram's sender. A datagram larger than the buffer fails (kErrNotConnected)
    /// and is dropped.
    int32_t ReceiveDatagram(uint32_t* outAddress, uint16_t* outPort, void* buffer,
                            uint32_t bufferSize, uint32_t* outLength);
    /// SendDatagram for an IPv4 or IPv6 socket.
    int32_t SendDatagram(const NetAddress& to, const void* data, uint32_t length);
    /// ReceiveDatagram for an IPv4 or IPv6 socket (an IPv6 sender reads as address 0 above).
    int32_t ReceiveDatagram(NetAddress* outSender, void* buffer, uint32_t bufferSize,
                            uint32_t* outLength);

    /// One datagram of a batch, in an array the caller owns. A receive fills fLength, fPeer
    /// and fError: 0, or the error the single receive gives for this datagram, whose bytes
    /// are then not there (one larger than fCapacity is dropped). A send takes fData,
    /// fLength and fPeer.
    struct Datagram {
        void* fData = nullptr;   ///< The datagram's bytes.
        uint32_t fCapacity = 0;  ///< Room at fData, for a receive.
        uint32_t fLength = 0;    ///< Bytes received, or to send.
        NetAddress fPeer{};      ///< The sender received from, or the address to send to.
        int32_t fError = 0;      ///< 0, or why this received datagram is not there.
    };
    static constexpr uint32_t kMostDatagrams = Platform::kMostBatchDatagrams;  ///< Per call.

    /// The datagrams waiting, up to count (at most kMostDatagrams), in one call where the
    /// platform allows: 0 with *received (at least 1) filled, or the error the single
    /// receive gives when the first fails (EAGAIN when none is waiting).
    int32_t ReceiveDatagrams(Datagram* batch, uint32_t count, uint32_t* received);
    /// Sends in order until the socket takes no more: 0 with *sent filled, the rest the
    /// caller's to send again; or the error of the first (EAGAIN when the socket is full).
    int32_t SendDatagrams(const Datagram* batch, uint32_t count, uint32_t* sent);

    /// Joins the IPv4 group (host byte order) on the interface the socket is bound to (any
    /// when unbound). 0 or the error.
    int32_t JoinGroup(uint32_t group);
    /// Leaves the group, as JoinGroup joined it.
    int32_t LeaveGroup(uint32_t group);
    /// Joins an IPv6 group on the interface with that index (see the interface table; 0 lets
    /// the system choose). kErrBadAddress for a group that is not IPv6.
    int32_t JoinGroup(const NetAddress& group, uint32_t interfaceIndex);
    /// Leaves an IPv6 group, as JoinGroup joined it.
    int32_t LeaveGroup(const NetAddress& group, uint32_t interfaceIndex);
    /// The multicast time to live: the low eight bits of ttl, passed as one byte.
    int32_t SetMulticastTtl(uint32_t ttl);
    /// The interface multicasts leave by: its address in network byte order, passed through
    /// unchanged.
    int32_t SetMulticastInterface(uint32_t interfaceAddress);

    /// The socket's demultiplexer, or null when made without kUseDemultiplexer.
    UDPDemultiplexer* GetDemultiplexer() { return fDemultiplexer; }

private:
    int32_t SendTo(const Platform::SocketAddressStorage& target, const void* data, uint32_t length);
    // Receives into fLastSender; the length is written on success only.
    int32_t ReceiveFrom(void* buffer, uint32_t bufferSize, uint32_t* outLength);
    int32_t ChangeMembership(Platform::SocketOption option, uint32_t group);
    int32_t ChangeMembership(Platform::SocketOption option, const NetAddress& group,
                             uint32_t interfaceIndex);
    // 0 or the error.
    int32_t SetOption(Platform::SocketOption option, const void* value, uint32_t length);

    UDPDemultiplexer* fDemultiplexer = nullptr;
    Platform::SocketAddressStorage fLastSender{};
};
