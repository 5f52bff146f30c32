// The platform's own names behind the portable socket types: the sockaddr view of an
// address and the (level, name) pair of each socket option. The constants are spelled the
// same on every platform but their values differ, so this is compiled inside each platform's
// socket file: include it there after the platform's socket headers, and nowhere else.
#pragma once

#include <cstddef>

#include "platform/Platform.h"

namespace Platform {

static_assert(sizeof(SocketAddress) == sizeof(sockaddr_in));
static_assert(kSocketStream == SOCK_STREAM && kSocketDatagram == SOCK_DGRAM);
static_assert(kAddressFamilyInet == AF_INET && kAddressFamilyInet6 == AF_INET6);
static_assert(sizeof(SocketAddress6) == sizeof(sockaddr_in6));
static_assert(offsetof(SocketAddress6, fAddress) == offsetof(sockaddr_in6, sin6_addr) &&
              offsetof(SocketAddress6, fScopeId) == offsetof(sockaddr_in6, sin6_scope_id));
// An IPv6 membership: the group's 16 bytes, then the interface index.
static_assert(sizeof(ipv6_mreq) == 20 && offsetof(ipv6_mreq, ipv6mr_interface) == 16);

namespace SocketNames {

inline const sockaddr* AsSockaddr(const SocketAddress* address) {
    return reinterpret_cast<const sockaddr*>(address);
}
inline sockaddr* AsSockaddr(SocketAddress* address) {
    return reinterpret_cast<sockaddr*>(address);
}

inline const sockaddr* AsSockaddr(const SocketAddressStorage* address) {
    return reinterpret_cast<const sockaddr*>(address);
}
inline sockaddr* AsSockaddr(SocketAddressStorage* address) {
    return reinterpret_cast<sockaddr*>(address);
}

// The length the platform expects of an address of the family the storage holds.
inline int LengthOf(const SocketAddressStorage* address) {
    return address->fIPv4.fFamily == kAddressFamilyInet6 ? int(sizeof(SocketAddress6))
                                                         : int(sizeof(SocketAddress));
}

// getsockname or getpeername with room for `size` bytes: 0, or -1 with the last error set.
template <class Call, class Handle, class Length>
int AskName(Call call, Handle socket, sockaddr* address, Length size) {
    return call(socket, address, &size) == 0 ? 0 : -1;
}

struct OptionName {
    int fLevel;
    int fName;
};

inline OptionName NameOf(SocketOption option) {
    switch (option) {
        case SocketOption::kReuseAddress:
            return {SOL_SOCKET, SO_REUSEADDR};
        case SocketOption::kNoDelay:
            return {IPPROTO_TCP, TCP_NODELAY};
        case SocketOption::kKeepAlive:
            return {SOL_SOCKET, SO_KEEPALIVE};
        case SocketOption::kSendBufferSize:
            return {SOL_SOCKET, SO_SNDBUF};
        case SocketOption::kReceiveBufferSize:
            return {SOL_SOCKET, SO_RCVBUF};
        case SocketOption::kAddMembership:
            return {IPPROTO_IP, IP_ADD_MEMBERSHIP};
        case SocketOption::kDropMembership:
            return {IPPROTO_IP, IP_DROP_MEMBERSHIP};
        case SocketOption::kMulticastTtl:
            return {IPPROTO_IP, IP_MULTICAST_TTL};
        case SocketOption::kMulticastInterface:
            return {IPPROTO_IP, IP_MULTICAST_IF};
        case SocketOption::kMulticastLoop:
            return {IPPROTO_IP, IP_MULTICAST_LOOP};
        case SocketOption::kIPv6Only:
            return {IPPROTO_IPV6, IPV6_V6ONLY};
        case SocketOption::kIPv6JoinGroup:
            return {IPPROTO_IPV6, IPV6_JOIN_GROUP};
        case SocketOption::kIPv6LeaveGroup:
            return {IPPROTO_IPV6, IPV6_LEAVE_GROUP};
    }
    return {-1, -1};
}

}  // namespace SocketNames
}  // namespace Platform
