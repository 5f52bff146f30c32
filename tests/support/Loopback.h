// Loopback sockets made straight through the platform layer, and small helpers the socket
// suites share.
#pragma once

#include <cstdint>
#include <string>

#include "NetAddress.h"
#include "StrPtrLen.h"
#include "platform/Platform.h"

constexpr uint32_t kLoopbackAddress = 0x7F000001;       // 127.0.0.1, host byte order
constexpr uint32_t kDocumentationAddress = 0xC0000201;  // 192.0.2.1: no interface has it

Platform::SocketAddress LoopbackAddress(uint16_t port);
uint16_t PortOf(Platform::SocketHandle socket);
// A datagram socket bound to 127.0.0.1 on a port the system chose; -1 on failure.
Platform::SocketHandle OpenBoundDatagramSocket(uint16_t* port);
// A connected pair of blocking stream sockets over loopback; false on failure.
bool MakeStreamPair(Platform::SocketHandle* client, Platform::SocketHandle* server);
// Sends one datagram from a fresh socket to 127.0.0.1:port.
bool SendDatagramTo(uint16_t port, const void* data, uint32_t length);
// Sends one byte of urgent (out-of-band) data on a stream socket.
bool SendUrgentByte(Platform::SocketHandle socket, char byte);

// A platform socket closed when its holder goes.
class HeldSocket {
public:
    explicit HeldSocket(Platform::SocketHandle socket) : fSocket(socket) {}
    ~HeldSocket() { Platform::CloseSocket(fSocket); }
    HeldSocket(const HeldSocket&) = delete;
    HeldSocket& operator=(const HeldSocket&) = delete;
    Platform::SocketHandle Get() const { return fSocket; }
    uint16_t Port() const { return PortOf(fSocket); }

private:
    Platform::SocketHandle fSocket;
};

// True when this machine can bind ::1 (some have IPv6 switched off).
bool HasIPv6Loopback();

// A stream socket listening on loopback: its port is taken.
HeldSocket TakenListener();

// Bytes that differ from position to position and from seed to seed.
std::string PatternBytes(size_t length, uint32_t seed);
inline std::string Text(const StrPtrLen* text) {
    return text == nullptr ? "(null)" : std::string(text->fPtr, text->fLen);
}
inline std::string Text(const NetAddress& address, uint32_t flags = NetAddress::kWithPort) {
    char text[NetAddress::kTextSize];
    return std::string(text, address.ToText(text, sizeof(text), flags));
}
