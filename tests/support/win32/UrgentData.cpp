#include <winsock2.h>

#include "support/Loopback.h"

bool SendUrgentByte(Platform::SocketHandle socket, char byte) {
    return send(SOCKET(socket), &byte, 1, MSG_OOB) == 1;
}
