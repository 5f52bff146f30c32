// Listening sockets on POSIX.
#include <sys/socket.h>

#include "platform/Platform.h"

namespace Platform {

int PrepareListeningSocket(SocketHandle socket) {
    // Without it a restarted service could not bind its port while the connections of the
    // one before linger in TIME_WAIT. Linux still refuses a port that another socket
    // listens on.
    const int on = 1;
    return setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == 0 ? 0 : -1;
}

int SharePort(SocketHandle socket) {
    const int on = 1;
    return setsockopt(socket, SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on)) == 0 ? 0 : -1;
}

}  // namespace Platform
