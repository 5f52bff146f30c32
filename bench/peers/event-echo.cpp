// Echo service (RFC 862) on libevent, for comparison with the runtime's echo-service.
//
// An event_base is driven by one thread, so --threads N runs N bases, each on its own thread
// with its own listener and datagram socket bound to the same ports with SO_REUSEPORT: the
// kernel spreads new connections (and datagram senders) over the bases, with no acceptor
// thread handing sockets across. --threads 1 is the classic single base.
//
// TCP: each connection is a bufferevent whose input is moved to its output as it arrives;
// while a buffer's worth waits to be written the connection stops reading, and starts again
// once the output has drained. UDP: a persistent read event receives datagrams and sends each
// straight back (one the socket cannot take at once is dropped, as UDP may drop it anyway).
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>
#include <event2/thread.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "PeerOptions.h"

namespace {

constexpr size_t kLargestDatagram = 65536;
// Datagrams echoed per readiness report before the base serves its other events.
constexpr int kDatagramsPerEvent = 32;

struct Loop {
    event_base* fBase = nullptr;
    evconnlistener* fListener = nullptr;
    evutil_socket_t fDatagramSocket = -1;
    event* fDatagrams = nullptr;
    char fDatagram[kLargestDatagram];

    ~Loop() {
        if (fDatagrams != nullptr) event_free(fDatagrams);
        if (fDatagramSocket != -1) evutil_closesocket(fDatagramSocket);
        if (fListener != nullptr) evconnlistener_free(fListener);
        if (fBase != nullptr) event_base_free(fBase);
    }
};

std::vector<std::unique_ptr<Loop>> sLoops;

void OnWritable(bufferevent* connection, void*);
void OnEvent(bufferevent* connection, short events, void*);

void OnReadable(bufferevent* connection, void*) {
    evbuffer* output = bufferevent_get_output(connection);
    evbuffer_add_buffer(output, bufferevent_get_input(connection));
    if (evbuffer_get_length(output) >= kPeerBufferSize) {
        // The peer is not taking what we send: read nothing more until it has.
        bufferevent_disable(connection, EV_READ);
        bufferevent_setcb(connection, OnReadable, OnWritable, OnEvent, nullptr);
    }
}

// The output has drained (the write low watermark is 0): read again.
void OnWritable(bufferevent* connection, void*) {
    bufferevent_setcb(connection, OnReadable, nullptr, OnEvent, nullptr);
    bufferevent_enable(connection, EV_READ);
}

void FreeWhenDrained(bufferevent* connection, void*) {
    bufferevent_free(connection);
}

void OnEvent(bufferevent* connection, short events, void*) {
    if ((events & BEV_EVENT_EOF) && evbuffer_get_length(bufferevent_get_output(connection)) > 0) {
        // The peer has sent all it will: close once the last echoed byte has gone.
        bufferevent_setcb(connection, nullptr, FreeWhenDrained, OnEvent, nullptr);
        bufferevent_disable(connection, EV_READ);
        return;
    }
    if (events & (BEV_EVENT_EOF | BEV_EVENT_ERROR)) bufferevent_free(connection);
}

void OnAccept(evconnlistener* listener, evutil_socket_t fd, sockaddr*, int, void*) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    bufferevent* connection =
        bufferevent_socket_new(evconnlistener_get_base(listener), fd, BEV_OPT_CLOSE_ON_FREE);
    if (connection == nullptr) {
        evutil_closesocket(fd);
        return;
    }
    bufferevent_setcb(connection, OnReadable, nullptr, OnEvent, nullptr);
    bufferevent_enable(connection, EV_READ | EV_WRITE);
}

void OnDatagram(evutil_socket_t fd, short, void* argument) {
    auto* loop = static_cast<Loop*>(argument);
    for (int i = 0; i < kDatagramsPerEvent; ++i) {
        sockaddr_storage sender;
        socklen_t senderLength = sizeof(sender);
        const ssize_t count = recvfrom(fd, loop->fDatagram, sizeof(loop->fDatagram), 0,
                                       reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (count < 0) return;  // nothing more for now
        sendto(fd, loop->fDatagram, size_t(count), 0, reinterpret_cast<sockaddr*>(&sender),
               senderLength);
    }
}

void OnSignal(evutil_socket_t, short, void*) {
    for (auto& loop : sLoops)
        event_base_loopexit(loop->fBase, nullptr);
}

unsigned PortOf(evutil_socket_t fd) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// Sets the loop up on the given ports (0: the system chooses) and stores the ones bound.
bool OpenLoop(Loop* loop, bool sharedPorts, unsigned* tcpPort, unsigned* udpPort) {
    loop->fBase = event_base_new();
    if (loop->fBase == nullptr) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    evutil_inet_pton(AF_INET, kPeerAddress, &address.sin_addr);
    address.sin_port = htons(uint16_t(*tcpPort));
    const unsigned shared = sharedPorts ? LEV_OPT_REUSEABLE_PORT : 0;
    loop->fListener = evconnlistener_new_bind(
        loop->fBase, OnAccept, nullptr, LEV_OPT_CLOSE_ON_FREE | LEV_OPT_REUSEABLE | shared, -1,
        reinterpret_cast<sockaddr*>(&address), sizeof(address));
    if (loop->fListener == nullptr) return false;
    *tcpPort = PortOf(evconnlistener_get_fd(loop->fListener));

    loop->fDatagramSocket = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (loop->fDatagramSocket < 0) return false;
    const int on = 1;
    if (sharedPorts) setsockopt(loop->fDatagramSocket, SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on));
    address.sin_port = htons(uint16_t(*udpPort));
    if (bind(loop->fDatagramSocket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
        return false;
    *udpPort = PortOf(loop->fDatagramSocket);
    loop->fDatagrams =
        event_new(loop->fBase, loop->fDatagramSocket, EV_READ | EV_PERSIST, OnDatagram, loop);
    return loop->fDatagrams != nullptr && event_add(loop->fDatagrams, nullptr) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const PeerOptions options = ParsePeerOptions("event-echo", argc, argv);
    // A client that has gone must cost its connection, not the process.
    std::signal(SIGPIPE, SIG_IGN);
    // Several bases are told to stop from the signal's thread: that needs libevent's locks.
    if (options.fThreads > 1) evthread_use_pthreads();
    unsigned tcpPort = options.fTCPPort;
    unsigned udpPort = options.fUDPPort;
    for (unsigned i = 0; i < options.fThreads; ++i) {
        sLoops.push_back(std::make_unique<Loop>());
        // The first base binds the ports asked for; the others share the ones it got.
        if (!OpenLoop(sLoops.back().get(), options.fThreads > 1, &tcpPort, &udpPort)) {
            std::perror("event-echo");
            return 1;
        }
    }
    event_base* first = sLoops.front()->fBase;
    event* interrupt = evsignal_new(first, SIGINT, OnSignal, nullptr);
    event* terminate = evsignal_new(first, SIGTERM, OnSignal, nullptr);
    event_add(interrupt, nullptr);
    event_add(terminate, nullptr);
    PrintServingLine("event-echo", tcpPort, udpPort, options.fThreads);

    std::vector<std::thread> threads;
    for (size_t i = 1; i < sLoops.size(); ++i)
        threads.emplace_back(event_base_dispatch, sLoops[i]->fBase);
    event_base_dispatch(first);
    for (std::thread& thread : threads)
        thread.join();
    event_free(interrupt);
    event_free(terminate);
    // Connections still open are closed with the process.
    sLoops.clear();
    std::printf("event-echo: stopped\n");
    return 0;
}
