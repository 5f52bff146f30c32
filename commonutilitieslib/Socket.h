// IPv4 and IPv6 sockets: an event context that owns a handle and sends and receives with the
// runtime's error numbers. Operations never block on a non-blocking socket: a call that
// would block returns EAGAIN, and the task arms the socket and waits to be signalled.
#pragma once

#include <cstdint>

#include "EventContext.h"
#include "NetAddress.h"
#include "StrPtrLen.h"
#include "platform/Platform.h"

class Task;

using SocketBuffer = Platform::SocketBuffer;

class Socket : public EventContext {
public:
    // Bits of fFlags.
    static constexpr uint32_t kSocketNonBlocking = 0x0001;  // Open makes the socket non-blocking
    static constexpr uint32_t kSocketBound = 0x0004;        // Bind succeeded
    static constexpr uint32_t kSocketConnected = 0x0008;    // transfers allowed

    static constexpr int32_t kStreamType = Platform::kSocketStream;
    static constexpr int32_t kDatagramType = Platform::kSocketDatagram;

    // The runtime's one event loop; set by the host before the first socket is built.
    static EventLoopThread* sEventLoop;

    Socket(Task* notifyTask, uint32_t flags);

    // Creates the handle of the given type and family; 0 or the error (kErrBadAddress
    // for no family).
    int32_t Open(int32_t socketType, NetAddress::Family family = NetAddress::Family::kIPv4);

    // Option setters. Failures of the first four are reported by assertion only.
    void SetReuseAddress();
    void SetNoDelay();
    void SetKeepAlive();
    void SetSendBufferSize(uint32_t size);
    int32_t SetReceiveBufferSize(uint32_t size);

    // An IPv6 socket, before Bind: true takes IPv6 peers alone, false IPv4 ones too (read
    // as IPv4-mapped addresses). Set either way: the platforms' defaults differ. 0 or the
    // error.
    int32_t SetIPv6Only(bool only);

    // Address and port in host byte order, 0 for any. 0 or the error.
    int32_t Bind(uint32_t address, uint16_t port);
    // The same for an address of the family the socket was opened in.
    int32_t Bind(const NetAddress& address);

    // Texts of the local address, found once in the interface table and kept; null when no
    // interface has the address.
    StrPtrLen* LocalAddressString();
    StrPtrLen* LocalHostNameString();
    // The local port's decimal text, formatted once and kept.
    StrPtrLen* LocalPortString();

    // 0 with the bytes moved (a partial send is a success), EAGAIN when the call would
    // block, kErrNotConnected once the connection is gone, or another error number. Any
    // failure but EAGAIN marks the socket not connected. The sent count may be null.
    int32_t Send(const char* data, uint32_t length, uint32_t* outLengthSent);
    int32_t SendVector(const SocketBuffer* buffers, uint32_t count, uint32_t* outLengthSent);
    // A read of 0 bytes means the peer closed: kErrNotConnected. A size of 0 reads
    // nothing and succeeds. A task reads until a read would block (EAGAIN), then arms.
    int32_t Read(void* buffer, uint32_t size, uint32_t* outLengthRead);

    uint32_t GetFlags() const { return fFlags; }
    Bool16 IsConnected() const { return (fFlags & kSocketConnected) != 0; }
    // Host byte order; the address is 0 for an IPv6 one.
    uint32_t GetLocalAddress() const { return IPv4Of(fLocalAddress); }
    uint16_t GetLocalPort() const { return Platform::NetworkToHost16(fLocalAddress.fIPv4.fPort); }
    // An IPv4 address that reached a dual-stack socket reads as the IPv4 address it is.
    NetAddress GetLocalNetAddress() const { return NetAddress::FromSocketAddress(fLocalAddress); }

protected:
    // The error number of the failed transfer just made; marks the socket not connected
    // unless the call merely would have blocked.
    int32_t TransferFailed();

    static uint32_t IPv4Of(const Platform::SocketAddressStorage& address) {
        return address.fIPv4.fFamily == Platform::kAddressFamilyInet
                   ? Platform::NetworkToHost32(address.fIPv4.fAddress)
                   : 0;
    }

    uint32_t fFlags;
    Platform::SocketAddressStorage fLocalAddress{};
    Platform::SocketAddressStorage fRemoteAddress{};
    StrPtrLen* fLocalAddressString = nullptr;  // points into the interface table
    StrPtrLen* fLocalHostNameString = nullptr;
    char fPortText[8] = {};
    StrPtrLen fPortString;  // length 8 until the port has been formatted

private:
    StrPtrLen* FindInterfaceText(StrPtrLen* (*text)(uint32_t index));
};
