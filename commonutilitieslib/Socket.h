/// @file
/// IPv4 and IPv6 sockets: an event context that owns a handle and sends and receives with the
/// runtime's error numbers. Operations never block on a non-blocking socket: a call that
/// would block returns EAGAIN, and the task arms the socket and waits to be signalled.
#pragma once

#include <cstdint>

#include "EventContext.h"
#include "NetAddress.h"
#include "StrPtrLen.h"
#include "platform/Platform.h"

class Task;

/// One buffer of a gathered send: fLength bytes at fData.
using SocketBuffer = Platform::SocketBuffer;

/// A socket that owns its handle (closed when it is disposed or destroyed) and is armed
/// through its event context. Its calls are made from the runs of the task that owns it.
class Socket : public EventContext {
public:
    // Bits of fFlags.
    static constexpr uint32_t kSocketNonBlocking = 0x0001;  ///< Open makes the socket non-blocking.
    static constexpr uint32_t kSocketBound = 0x0004;        ///< Bind succeeded.
    static constexpr uint32_t kSocketConnected = 0x0008;    ///< Transfers allowed.

    static constexpr int32_t kStreamType = Platform::kSocketStream;      ///< For Open: TCP.
    static constexpr int32_t kDatagramType = Platform::kSocketDatagram;  ///< For Open: UDP.

    /// The runtime's one event loop; set by the host before the first socket is built.
    static EventLoopThread* sEventLoop;

    /// A socket without a handle yet, whose notifications signal the task; the flags are
    /// the first bits of fFlags (kSocketNonBlocking).
    Socket(Task* notifyTask, uint32_t flags);

    /// Creates the handle of the given type and family; 0 or the error (kErrBadAddress
    /// for no family).
    int32_t Open(int32_t socketType, NetAddress::Family family = NetAddress::Family::kIPv4);

    // Option setters. Failures of the first four are reported by assertion only.
    void SetReuseAddress();                       ///< SO_REUSEADDR.
    void SetNoDelay();                            ///< TCP_NODELAY: small sends go at once.
    void SetKeepAlive();                          ///< SO_KEEPALIVE.
    void SetSendBufferSize(uint32_t size);        ///< SO_SNDBUF in bytes.
    int32_t SetReceiveBufferSize(uint32_t size);  ///< SO_RCVBUF in bytes: 0 or the error.

    /// An IPv6 socket, before Bind: true takes IPv6 peers alone, false IPv4 ones too (read
    /// as IPv4-mapped addresses). Set either way: the platforms' defaults differ. 0 or the
    /// error.
    int32_t SetIPv6Only(bool only);

    /// Binds to the address and port in host byte order, 0 for any. 0 or the error
    /// (kErrAddressInUse, kErrAddressNotAvailable...).
    int32_t Bind(uint32_t address, uint16_t port);
    /// The same for an address of the family the socket was opened in.
    int32_t Bind(const NetAddress& address);

    /// The dotted text of the local address, found once in the interface table and kept;
    /// null when no interface has the address.
    StrPtrLen* LocalAddressString();
    /// The host name of the local address, found and kept the same way.
    StrPtrLen* LocalHostNameString();
    /// The local port's decimal text, formatted once and kept.
    StrPtrLen* LocalPortString();

    /// Sends without blocking: 0 with the bytes moved (a partial send is a success), EAGAIN
    /// when the call would block, kErrNotConnected once the connection is gone, or another
    /// error number. Any failure but EAGAIN marks the socket not connected. The sent count
    /// may be null.
    int32_t Send(const char* data, uint32_t length, uint32_t* outLengthSent);
    /// Send of the buffers, in order, in one call.
    int32_t SendVector(const SocketBuffer* buffers, uint32_t count, uint32_t* outLengthSent);
    /// Reads what is there: 0 with at least one byte, EAGAIN when none is, or the error. A
    /// read of 0 bytes means the peer closed: kErrNotConnected. A size of 0 reads nothing
    /// and succeeds. A task reads until a read would block (EAGAIN), then arms.
    int32_t Read(void* buffer, uint32_t size, uint32_t* outLengthRead);

    uint32_t GetFlags() const { return fFlags; }  ///< The kSocket bits.
    /// Connected, so transfers are allowed.
    Bool16 IsConnected() const { return (fFlags & kSocketConnected) != 0; }
    /// The local address in host byte order; 0 for an IPv6 one.
    uint32_t GetLocalAddress() const { return IPv4Of(fLocalAddress); }
    /// The local port in host byte order.
    uint16_t GetLocalPort() const { return Platform::NetworkToHost16(fLocalAddress.fIPv4.fPort); }
    /// The local address and port. An IPv4 address that reached a dual-stack socket reads as
    /// the IPv4 address it is.
    NetAddress GetLocalNetAddress() const { return NetAddress::FromSocketAddress(fLocalAddress); }

protected:
    /// The error number of the failed transfer just made; marks the socket not connected
    /// unless the call merely would have blocked.
    int32_t TransferFailed();

    /// An IPv4 socket address's address in host byte order; 0 for any other.
    static uint32_t IPv4Of(const Platform::SocketAddressStorage& address) {
        return address.fIPv4.fFamily == Platform::kAddressFamilyInet
                   ? Platform::NetworkToHost32(address.fIPv4.fAddress)
                   : 0;
    }

    uint32_t fFlags;                                  ///< The kSocket bits.
    Platform::SocketAddressStorage fLocalAddress{};   ///< Known once bound or connected.
    Platform::SocketAddressStorage fRemoteAddress{};  ///< The peer of a connected socket.
    StrPtrLen* fLocalAddressString = nullptr;         ///< Points into the interface table.
    StrPtrLen* fLocalHostNameString = nullptr;        ///< Points into the interface table.
    char fPortText[8] = {};                           ///< The bytes of fPortString.
    StrPtrLen fPortString;  ///< Length 8 until the port has been formatted.

private:
    StrPtrLen* FindInterfaceText(StrPtrLen* (*text)(uint32_t index));
};
