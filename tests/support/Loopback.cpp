#include "support/Loopback.h"

namespace {

Platform::SocketHandle OpenBound(int32_t type) {
    const Platform::SocketHandle socket = Platform::OpenSocket(type);
    const Platform::SocketAddress address = LoopbackAddress(0);
    if (socket == Platform::kInvalidSocket || Platform::BindSocket(socket, &address) == 0)
        return socket;
    Platform::CloseSocket(socket);
    return Platform::kInvalidSocket;
}

}  // namespace

Platform::SocketAddress LoopbackAddress(uint16_t port) {
    Platform::SocketAddress address{};
    address.fFamily = Platform::kAddressFamilyInet;
    address.fPort = Platform::HostToNetwork16(port);
    address.fAddress = Platform::HostToNetwork32(kLoopbackAddress);
    return address;
}

uint16_t PortOf(Platform::SocketHandle socket) {
    Platform::SocketAddressStorage address{};  // either family
    if (Platform::GetSocketName(socket, &address) != 0) return 0;
    return NetAddress::FromSocketAddress(address).GetPort();
}

Platform::SocketHandle OpenBoundDatagramSocket(uint16_t* port) {
    const Platform::SocketHandle socket = OpenBound(Platform::kSocketDatagram);
    *port = PortOf(socket);
    return socket;
}

bool MakeStreamPair(Platform::SocketHandle* client, Platform::SocketHandle* server) {
    const HeldSocket listener = TakenListener();
    const Platform::SocketAddress target = LoopbackAddress(listener.Port());
    *client = Platform::OpenSocket(Platform::kSocketStream);
    // Once the connect has returned, the connection waits in the backlog: accept cannot block.
    const bool connected = Platform::ConnectSocket(*client, &target) == 0;
    *server =
        connected ? Platform::AcceptSocket(listener.Get(), nullptr) : Platform::kInvalidSocket;
    if (*server != Platform::kInvalidSocket) return true;
    Platform::CloseSocket(*client);
    *client = Platform::kInvalidSocket;
    return false;
}

bool SendDatagramTo(uint16_t port, const void* data, uint32_t length) {
    const HeldSocket socket(Platform::OpenSocket(Platform::kSocketDatagram));
    const Platform::SocketAddress target = LoopbackAddress(port);
    return Platform::SendSocketTo(socket.Get(), data, length, &target) == int32_t(length);
}

HeldSocket TakenListener() {
    const Platform::SocketHandle socket = OpenBound(Platform::kSocketStream);
    Platform::ListenSocket(socket, 16);
    return HeldSocket(socket);
}

std::string PatternBytes(size_t length, uint32_t seed) {
    std::string bytes(length, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (char& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = char(state >> 24);
    }
    return bytes;
}

bool HasIPv6Loopback() {
    const HeldSocket socket(
        Platform::OpenSocket(Platform::kSocketStream, Platform::kAddressFamilyInet6));
    Platform::SocketAddressStorage address;
    NetAddress::IPv6Loopback(0).ToSocketAddress(&address);
    return socket.Get() != Platform::kInvalidSocket &&
           Platform::BindSocket(socket.Get(), &address) == 0;
}
