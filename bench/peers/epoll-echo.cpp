// Echo service (RFC 862) as one plain epoll loop on one thread: the near-limit reference
// that compare.sh prints beside the runtime and the libraries. Every socket is registered
// once, edge-triggered; a connection reads until a short read or EAGAIN and writes back at
// once, waiting for EPOLLOUT only when the peer does not take the echo.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>

#include "PeerOptions.h"

namespace {

volatile std::sig_atomic_t sStop = 0;

struct Connection {
    int fSocket;
    size_t fSent = 0;
    size_t fPending = 0;
    char fBuffer[kPeerBufferSize];
};

int BoundSocket(int type, unsigned port) {
    const int socket = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, kPeerAddress, &address.sin_addr);
    if (bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        std::perror("epoll-echo: bind");
        std::exit(1);
    }
    return socket;
}

unsigned PortOf(int socket) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// Sends what is pending; false when the connection is gone.
bool Flush(Connection& connection) {
    while (connection.fPending > 0) {
        const ssize_t sent = send(connection.fSocket, connection.fBuffer + connection.fSent,
                                  connection.fPending, MSG_NOSIGNAL);
        if (sent < 0) return errno == EAGAIN;
        connection.fSent += size_t(sent);
        connection.fPending -= size_t(sent);
    }
    connection.fSent = 0;
    return true;
}

// Echoes until the socket is empty or the peer stops taking; false when it is gone.
bool Serve(Connection& connection) {
    for (;;) {
        if (!Flush(connection)) return false;
        if (connection.fPending > 0) return true;  // EPOLLOUT brings us back
        const ssize_t received = recv(connection.fSocket, connection.fBuffer, kPeerBufferSize, 0);
        if (received < 0) return errno == EAGAIN;
        if (received == 0) return false;
        connection.fPending = size_t(received);
        // A short read emptied the socket; the next arrival is a new edge.
        if (size_t(received) < kPeerBufferSize) return Flush(connection);
    }
}

void EchoDatagrams(int socket) {
    char buffer[kPeerBufferSize];
    for (;;) {
        sockaddr_in sender{};
        socklen_t length = sizeof(sender);
        const ssize_t received = recvfrom(socket, buffer, sizeof(buffer), 0,
                                          reinterpret_cast<sockaddr*>(&sender), &length);
        if (received < 0) return;
        sendto(socket, buffer, size_t(received), 0, reinterpret_cast<sockaddr*>(&sender), length);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const PeerOptions options = ParsePeerOptions("epoll-echo", argc, argv);
    std::signal(SIGINT, [](int) { sStop = 1; });
    std::signal(SIGTERM, [](int) { sStop = 1; });

    const int listener = BoundSocket(SOCK_STREAM, options.fTCPPort);
    listen(listener, 1024);
    const int datagrams = BoundSocket(SOCK_DGRAM, options.fUDPPort);
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    // The listener and the datagram socket carry 1 and 2, which no connection's address is.
    epoll_event event{};
    event.events = EPOLLIN | EPOLLET;
    event.data.u64 = 1;
    epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &event);
    event.data.u64 = 2;
    epoll_ctl(epoll, EPOLL_CTL_ADD, datagrams, &event);
    PrintServingLine("epoll-echo", PortOf(listener), PortOf(datagrams), 1);

    epoll_event ready[64];
    while (!sStop) {
        const int count = epoll_wait(epoll, ready, 64, -1);
        for (int i = 0; i < count; ++i) {
            if (ready[i].data.u64 == 1) {
                int socket;
                while ((socket = accept4(listener, nullptr, nullptr,
                                         SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
                    const int on = 1;
                    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
                    auto* connection = new Connection;
                    connection->fSocket = socket;
                    epoll_event added{};
                    added.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
                    added.data.ptr = connection;
                    epoll_ctl(epoll, EPOLL_CTL_ADD, socket, &added);
                }
            } else if (ready[i].data.u64 == 2) {
                EchoDatagrams(datagrams);
            } else {
                auto* connection = static_cast<Connection*>(ready[i].data.ptr);
                if (!Serve(*connection)) {
                    close(connection->fSocket);
                    delete connection;
                }
            }
        }
    }
    return 0;
}
