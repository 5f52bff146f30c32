#include <sys/socket.h>

#include "support/Loopback.h"

bool SendUrgentByte(Platform::SocketHandle socket, char byte) {
    return send(socket, &byte, 1, MSG_OOB | MSG_NOSIGNAL) == 1;
}
