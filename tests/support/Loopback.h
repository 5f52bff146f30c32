// Loopback sockets made straight through the platform layer, for tests that need a peer.
#pragma once

#include <cstdint>

#include "platform/Platform.h"

constexpr uint32_t kLoopbackAddress = 0x7F000001;  // 127.0.0.1, host byte order

Platform::SocketAddress LoopbackAddress(uint16_t port);

// A datagram socket bound to 127.0.0.1 on a port the system chose; -1 on failure.
Platform::SocketHandle OpenBoundDatagramSocket(uint16_t* port);

// A connected pair of blocking stream sockets over loopback; false on failure.
bool MakeStreamPair(Platform::SocketHandle* client, Platform::SocketHandle* server);

// Sends one datagram from a fresh socket to 127.0.0.1:port.
bool SendDatagramTo(uint16_t port, const void* data, uint32_t length);

uint16_t PortOf(Platform::SocketHandle socket);
