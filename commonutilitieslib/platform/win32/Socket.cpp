// IPv4 and IPv6 sockets on Windows: Windows Sockets 2, as it is.
// <winsock2.h> comes before <windows.h>, which would otherwise bring the old Winsock in.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <iphlpapi.h>

#include <cstring>
#include <vector>

#include "platform/FaultInjection.h"
#include "platform/Platform.h"
#include "platform/SocketNames.h"

namespace Platform {

using SocketNames::AskName;
using SocketNames::AsSockaddr;
using SocketNames::LengthOf;
using SocketNames::NameOf;
using SocketNames::OptionName;

static_assert(sizeof(SocketBuffer) == sizeof(WSABUF));
static_assert(offsetof(SocketBuffer, fData) == offsetof(WSABUF, buf));
static_assert(kNotifyRead == FD_READ && kNotifyWrite == FD_WRITE && kNotifyAccept == FD_ACCEPT &&
              kNotifyConnect == FD_CONNECT && kNotifyClose == FD_CLOSE);

namespace {

int32_t Result(int result) {
    return result == SOCKET_ERROR ? -1 : int32_t(result);
}

// SIO_GET_INTERFACE_LIST reports fixed-size records; a buffer too small for them all is
// refused, so it grows until the whole list fits.
constexpr uint32_t kFirstListBytes = 2048;
constexpr uint32_t kMostListBytes = 1u << 20;

SocketHandle Accept(SocketHandle socket, sockaddr* peer, int size) {
    const SOCKET handle = accept(SOCKET(socket), peer, peer != nullptr ? &size : nullptr);
    return handle == INVALID_SOCKET ? kInvalidSocket : SocketHandle(handle);
}

int32_t SendTo(SocketHandle socket, const void* data, uint32_t length, const sockaddr* address,
               int size) {
    return Result(
        sendto(SOCKET(socket), static_cast<const char*>(data), int(length), 0, address, size));
}

int32_t ReceiveFrom(SocketHandle socket, void* buffer, uint32_t size, sockaddr* sender,
                    int senderSize) {
    return Result(
        recvfrom(SOCKET(socket), static_cast<char*>(buffer), int(size), 0, sender, &senderSize));
}

}  // namespace

bool StartSocketLibrary() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void StopSocketLibrary() {
    WSACleanup();
}

SocketHandle OpenSocket(int32_t type) {
    return OpenSocket(type, kAddressFamilyInet);
}

SocketHandle OpenSocket(int32_t type, uint16_t family) {
    CU_FAULT_POINT(kOpenSocket);
    const SOCKET handle = socket(family, type, 0);
    return handle == INVALID_SOCKET ? kInvalidSocket : SocketHandle(handle);
}

int CloseSocket(SocketHandle socket) {
    CU_FAULT_POINT(kCloseSocket);
    return closesocket(SOCKET(socket)) == 0 ? 0 : -1;
}

int CloseSocketWithReset(SocketHandle socket) {
    const linger abort = {1, 0};
    if (setsockopt(SOCKET(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
                   sizeof(abort)) != 0)
        return -1;
    return CloseSocket(socket);
}

int SetSocketNonBlocking(SocketHandle socket) {
    CU_FAULT_POINT(kSetNonBlocking);
    u_long nonBlocking = 1;
    return ioctlsocket(SOCKET(socket), FIONBIO, &nonBlocking) == 0 ? 0 : -1;
}

int SetSocketOption(SocketHandle socket, SocketOption option, const void* value, uint32_t length) {
    CU_FAULT_POINT(kSetOption);
    const OptionName name = NameOf(option);
    return setsockopt(SOCKET(socket), name.fLevel, name.fName, static_cast<const char*>(value),
                      int(length)) == 0
               ? 0
               : -1;
}

int GetSocketOption(SocketHandle socket, SocketOption option, void* value, uint32_t* length) {
    const OptionName name = NameOf(option);
    int size = int(*length);
    const int result =
        getsockopt(SOCKET(socket), name.fLevel, name.fName, static_cast<char*>(value), &size);
    *length = uint32_t(size);
    return result == 0 ? 0 : -1;
}

int BindSocket(SocketHandle socket, const SocketAddress* address) {
    CU_FAULT_POINT(kBind);
    return bind(SOCKET(socket), AsSockaddr(address), sizeof(SocketAddress)) == 0 ? 0 : -1;
}

int GetSocketName(SocketHandle socket, SocketAddress* address) {
    return AskName(getsockname, SOCKET(socket), AsSockaddr(address), int(sizeof(SocketAddress)));
}

int GetPeerName(SocketHandle socket, SocketAddress* address) {
    return AskName(getpeername, SOCKET(socket), AsSockaddr(address), int(sizeof(SocketAddress)));
}

int BindSocket(SocketHandle socket, const SocketAddressStorage* address) {
    CU_FAULT_POINT(kBind);
    return bind(SOCKET(socket), AsSockaddr(address), LengthOf(address)) == 0 ? 0 : -1;
}

int GetSocketName(SocketHandle socket, SocketAddressStorage* address) {
    return AskName(getsockname, SOCKET(socket), AsSockaddr(address),
                   int(sizeof(SocketAddressStorage)));
}

int GetPeerName(SocketHandle socket, SocketAddressStorage* address) {
    return AskName(getpeername, SOCKET(socket), AsSockaddr(address),
                   int(sizeof(SocketAddressStorage)));
}

int ListenSocket(SocketHandle socket, int32_t backlog) {
    CU_FAULT_POINT(kListen);
    return listen(SOCKET(socket), backlog) == 0 ? 0 : -1;
}

SocketHandle AcceptSocket(SocketHandle socket, SocketAddress* peer) {
    CU_FAULT_POINT(kAccept);
    return Accept(socket, peer != nullptr ? AsSockaddr(peer) : nullptr, sizeof(SocketAddress));
}

SocketHandle AcceptNonBlockingSocket(SocketHandle socket, SocketAddressStorage* peer) {
    CU_FAULT_POINT(kAccept);
    const SocketHandle handle = Accept(socket, AsSockaddr(peer), sizeof(SocketAddressStorage));
    if (handle == kInvalidSocket || SetSocketNonBlocking(handle) == 0) return handle;
    const DWORD error = GetLastError();
    closesocket(SOCKET(handle));
    SetLastError(error);
    return kInvalidSocket;
}

int ConnectSocket(SocketHandle socket, const SocketAddress* address) {
    CU_FAULT_POINT(kConnect);
    return connect(SOCKET(socket), AsSockaddr(address), sizeof(SocketAddress)) == 0 ? 0 : -1;
}

int ConnectSocket(SocketHandle socket, const SocketAddressStorage* address) {
    CU_FAULT_POINT(kConnect);
    return connect(SOCKET(socket), AsSockaddr(address), LengthOf(address)) == 0 ? 0 : -1;
}

uint32_t TakeSocketError(SocketHandle socket) {
    int error = 0;
    int size = sizeof(error);
    if (getsockopt(SOCKET(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) !=
        0) {
        return uint32_t(WSAGetLastError());
    }
    return uint32_t(error);
}

int ShutdownSocketSend(SocketHandle socket) {
    return shutdown(SOCKET(socket), SD_SEND) == 0 ? 0 : -1;
}

int32_t SendSocket(SocketHandle socket, const void* data, uint32_t length) {
    CU_FAULT_POINT(kSend);
    return Result(send(SOCKET(socket), static_cast<const char*>(data), int(length), 0));
}

int32_t ReceiveSocket(SocketHandle socket, void* buffer, uint32_t size) {
    CU_FAULT_POINT(kReceive);
    const int result = recv(SOCKET(socket), static_cast<char*>(buffer), int(size), 0);
    CU_STEP(kReceiveReturned);
    return Result(result);
}

int SendSocketVector(SocketHandle socket, const SocketBuffer* buffers, uint32_t count,
                     uint32_t* sent) {
    CU_FAULT_POINT(kSendVector);
    DWORD bytes = 0;
    const int result =
        WSASend(SOCKET(socket), reinterpret_cast<WSABUF*>(const_cast<SocketBuffer*>(buffers)),
                DWORD(count), &bytes, 0, nullptr, nullptr);
    CU_STEP(kSendBatchReturned);
    if (result != 0) return -1;
    *sent = uint32_t(bytes);
    return 0;
}

int32_t SendSocketTo(SocketHandle socket, const void* data, uint32_t length,
                     const SocketAddress* address) {
    CU_FAULT_POINT(kSendTo);
    return SendTo(socket, data, length, AsSockaddr(address), sizeof(SocketAddress));
}

int32_t SendSocketTo(SocketHandle socket, const void* data, uint32_t length,
                     const SocketAddressStorage* address) {
    CU_FAULT_POINT(kSendTo);
    return SendTo(socket, data, length, AsSockaddr(address), LengthOf(address));
}

int32_t ReceiveSocketFrom(SocketHandle socket, void* buffer, uint32_t size, SocketAddress* sender) {
    CU_FAULT_POINT(kReceiveFrom);
    return ReceiveFrom(socket, buffer, size, AsSockaddr(sender), sizeof(SocketAddress));
}

int32_t ReceiveSocketFrom(SocketHandle socket, void* buffer, uint32_t size,
                          SocketAddressStorage* sender) {
    CU_FAULT_POINT(kReceiveFrom);
    return ReceiveFrom(socket, buffer, size, AsSockaddr(sender), sizeof(SocketAddressStorage));
}

// Windows has no batch call for datagrams: the single calls in turn, each with its own
// fault point.
int ReceiveSocketBatch(SocketHandle socket, BatchDatagram* batch, uint32_t count, uint32_t* done) {
    if (count > kMostBatchDatagrams) count = kMostBatchDatagrams;
    uint32_t taken = 0;
    while (taken < count) {
        BatchDatagram& datagram = batch[taken];
        const int32_t result =
            ReceiveSocketFrom(socket, datagram.fData, datagram.fSize, &datagram.fPeer);
        datagram.fLength = result < 0 ? 0 : uint32_t(result);
        datagram.fError = result < 0 ? uint32_t(WSAGetLastError()) : 0;
        // Past the first, a failure other than "would block" stands for one datagram (say,
        // the report that an earlier one found no listener); one larger than its buffer
        // does wherever it comes.
        const bool oneDatagram =
            datagram.fError == WSAEMSGSIZE || (taken > 0 && datagram.fError != WSAEWOULDBLOCK);
        if (result < 0 && !oneDatagram) break;
        ++taken;
    }
    if (taken == 0) return -1;
    *done = taken;
    return 0;
}

int SendSocketBatch(SocketHandle socket, const BatchDatagram* batch, uint32_t count,
                    uint32_t* done) {
    if (count > kMostBatchDatagrams) count = kMostBatchDatagrams;
    uint32_t sent = 0;
    while (sent < count &&
           SendSocketTo(socket, batch[sent].fData, batch[sent].fLength, &batch[sent].fPeer) >= 0)
        ++sent;
    if (sent == 0) return -1;
    *done = sent;
    return 0;
}

void AddressToDottedText(uint32_t networkAddress, char* text) {
    in_addr address;
    address.s_addr = networkAddress;
    strcpy(text, inet_ntoa(address));
}

uint32_t DottedTextToAddress(const char* text) {
    return uint32_t(inet_addr(text));
}

bool LookUpHostName(uint32_t networkAddress, char* name, uint32_t size) {
    const hostent* entry =
        gethostbyaddr(reinterpret_cast<const char*>(&networkAddress), 4, AF_INET);
    if (entry == nullptr || entry->h_name == nullptr) return false;
    strncpy(name, entry->h_name, size);
    name[size - 1] = '\0';
    return true;
}

InterfaceListStatus ListInterfaceAddresses(std::vector<uint32_t>* addresses) {
    const SOCKET probe = socket(AF_INET, SOCK_DGRAM, 0);
    if (probe == INVALID_SOCKET) return InterfaceListStatus::kNoProbeSocket;
    std::vector<char> input(kFirstListBytes);
    std::vector<char> output(kFirstListBytes);
    DWORD bytes = 0;
    int result = SOCKET_ERROR;
    for (uint32_t size = kFirstListBytes; size <= kMostListBytes; size *= 2) {
        input.resize(size);
        output.resize(size);
        bytes = 0;
        result = WSAIoctl(probe, SIO_GET_INTERFACE_LIST, input.data(), DWORD(size), output.data(),
                          DWORD(size), &bytes, nullptr, nullptr);
        if (result == 0 || WSAGetLastError() != WSAEFAULT) break;
    }
    closesocket(probe);
    if (result != 0) return InterfaceListStatus::kListFailed;
    const auto* records = reinterpret_cast<const INTERFACE_INFO*>(output.data());
    const uint32_t count = uint32_t(bytes) / sizeof(INTERFACE_INFO);
    for (uint32_t i = 0; i < count; ++i) {
        addresses->push_back(uint32_t(records[i].iiAddress.AddressIn.sin_addr.s_addr));
    }
    return bytes % sizeof(INTERFACE_INFO) == 0 ? InterfaceListStatus::kListed
                                               : InterfaceListStatus::kPartialRecord;
}

InterfaceListStatus ListInterfaceIPv6Addresses(std::vector<InterfaceIPv6Address>* addresses) {
    constexpr ULONG kFlags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                             GAA_FLAG_SKIP_DNS_SERVER | GAA_FLAG_SKIP_FRIENDLY_NAME;
    // The adapters may change between the calls: asked again while the buffer falls short.
    std::vector<char> buffer(kFirstListBytes * 8);
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (uint32_t tries = 0; tries < 4 && result == ERROR_BUFFER_OVERFLOW; ++tries) {
        ULONG size = ULONG(buffer.size());
        result =
            GetAdaptersAddresses(AF_INET6, kFlags, nullptr,
                                 reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
        if (result == ERROR_BUFFER_OVERFLOW) buffer.resize(size);
    }
    if (result == ERROR_NO_DATA) return InterfaceListStatus::kListed;
    if (result != NO_ERROR) return InterfaceListStatus::kListFailed;
    for (auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data());
         adapter != nullptr; adapter = adapter->Next) {
        for (auto* unicast = adapter->FirstUnicastAddress; unicast != nullptr;
             unicast = unicast->Next) {
            const sockaddr* address = unicast->Address.lpSockaddr;
            if (address == nullptr || address->sa_family != AF_INET6) continue;
            InterfaceIPv6Address entry{};
            memcpy(entry.fAddress, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, 16);
            // One index for both families since Vista; Wine leaves the IPv6 one 0.
            entry.fInterfaceIndex =
                uint32_t(adapter->Ipv6IfIndex != 0 ? adapter->Ipv6IfIndex : adapter->IfIndex);
            addresses->push_back(entry);
        }
    }
    return InterfaceListStatus::kListed;
}

}  // namespace Platform
