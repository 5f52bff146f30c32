// Listening sockets on Windows.
// <winsock2.h> comes before <windows.h>, which would otherwise bring the old Winsock in.
#include <winsock2.h>

#include <windows.h>

#include "platform/Platform.h"

namespace Platform {

int PrepareListeningSocket(SocketHandle socket) {
    // Windows lets a socket with SO_REUSEADDR take over a port that another socket is
    // bound to; exclusive use keeps the port this socket's alone. Rebinding after earlier
    // connections needs no option here.
    const BOOL on = TRUE;
    return setsockopt(SOCKET(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                      reinterpret_cast<const char*>(&on), sizeof(on)) == 0
               ? 0
               : -1;
}

int SharePort(SocketHandle) {
    WSASetLastError(WSAEOPNOTSUPP);
    return -1;
}

}  // namespace Platform
