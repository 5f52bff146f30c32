#include "support/Loopback.h"

Platform::SocketAddress LoopbackAddress(uint16_t port) {
    Platform::SocketAddress address{};
    address.fFamily = Platform::kAddressFamilyInet;
    address.fPort = Platform::HostToNetwork16(port);
    address.fAddress = Platform::HostToNetwork32(kLoopbackAddress);
    return address;
}

uint16_t PortOf(Platform::SocketHandle socket) {
    Platform::SocketAddress address{};
    if (Platform::GetSocketName(socket, &address) != 0) return 0;
    return Platform::NetworkToHost16(address.fPort);
}

Platform::SocketHandle OpenBoundDatagramSocket(uint16_t* port) {
    const Platform::SocketHandle socket = Platform::OpenSocket(Platform::kSocketDatagram);
    if (socket == Platform::kInvalidSocket) return socket;
    const Platform::SocketAddress address = LoopbackAddress(0);
    if (Platform::BindSocket(socket, &address) != 0) {
        Platform::CloseSocket(socket);
        return Platform::kInvalidSocket;
    }
    *port = PortOf(socket);
    return socket;
}

bool MakeStreamPair(Platform::SocketHandle* client, Platform::SocketHandle* server) {
    const Platform::SocketHandle listener = Platform::OpenSocket(Platform::kSocketStream);
    const Platform::SocketAddress any = LoopbackAddress(0);
    if (listener == Platform::kInvalidSocket || Platform::BindSocket(listener, &any) != 0 ||
        Platform::ListenSocket(listener, 4) != 0) {
        Platform::CloseSocket(listener);
        return false;
    }
    const Platform::SocketAddress target = LoopbackAddress(PortOf(listener));
    *client = Platform::OpenSocket(Platform::kSocketStream);
    const bool connected =
        *client != Platform::kInvalidSocket && Platform::ConnectSocket(*client, &target) == 0;
    *server = connected ? Platform::AcceptSocket(listener, nullptr) : Platform::kInvalidSocket;
    Platform::CloseSocket(listener);
    if (*server == Platform::kInvalidSocket) {
        Platform::CloseSocket(*client);
        return false;
    }
    return true;
}

bool SendDatagramTo(uint16_t port, const void* data, uint32_t length) {
    const Platform::SocketHandle socket = Platform::OpenSocket(Platform::kSocketDatagram);
    const Platform::SocketAddress target = LoopbackAddress(port);
    const bool sent = Platform::SendSocketTo(socket, data, length, &target) == int32_t(length);
    Platform::CloseSocket(socket);
    return sent;
}
