// Echo service (RFC 862) on libuv, for comparison with the runtime's echo-service.
//
// A libuv loop and its handles belong to one thread, so --threads N runs N loops, each on its
// own thread with its own listening and datagram sockets bound to the same ports with
// SO_REUSEPORT: the kernel spreads new connections (and datagram senders) over the loops,
// with no acceptor thread handing sockets across. --threads 1 is the classic single loop.
//
// TCP: every read gets a fresh buffer that goes straight into uv_write and is freed when the
// write completes; while more than one buffer's worth waits to be written the connection
// stops reading, and starts again once the queue has drained.
// UDP: each datagram goes back with uv_udp_try_send; when the socket cannot take it at once
// a copy is queued with uv_udp_send.
#include <netinet/in.h>
#include <sys/socket.h>
#include <uv.h>

#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "PeerOptions.h"

namespace {

constexpr size_t kLargestDatagram = 65536;

struct Connection {
    uv_tcp_t fHandle;
    uv_shutdown_t fShutdown;
    bool fReadingStopped = false;
};

struct WriteRequest {
    uv_write_t fRequest;
    char fData[kPeerBufferSize];
};

struct DatagramRequest {
    uv_udp_send_t fRequest;
    size_t fLength;
    char fData[1];  // fLength bytes, allocated with the request
};

struct Loop {
    uv_loop_t fLoop;
    uv_tcp_t fListener;
    uv_udp_t fDatagrams;
    uv_async_t fStop;
    uv_signal_t fSignals[2];  // SIGINT and SIGTERM, on the first loop only
    char fDatagram[kLargestDatagram];
};

std::vector<std::unique_ptr<Loop>> sLoops;

void OnConnectionClosed(uv_handle_t* handle) {
    delete static_cast<Connection*>(handle->data);
}

void CloseConnection(uv_stream_t* stream) {
    if (!uv_is_closing(reinterpret_cast<uv_handle_t*>(stream)))
        uv_close(reinterpret_cast<uv_handle_t*>(stream), OnConnectionClosed);
}

void AllocateWrite(uv_handle_t*, size_t, uv_buf_t* buffer) {
    auto* request = new WriteRequest;
    *buffer = uv_buf_init(request->fData, sizeof(request->fData));
}

void OnRead(uv_stream_t* stream, ssize_t count, const uv_buf_t* buffer);

void OnShutdown(uv_shutdown_t* request, int) {
    CloseConnection(request->handle);
}

void OnWritten(uv_write_t* request, int status) {
    uv_stream_t* stream = request->handle;
    delete reinterpret_cast<WriteRequest*>(request);
    if (status < 0) return CloseConnection(stream);
    auto* connection = static_cast<Connection*>(stream->data);
    if (connection->fReadingStopped && uv_stream_get_write_queue_size(stream) == 0) {
        connection->fReadingStopped = false;
        uv_read_start(stream, AllocateWrite, OnRead);
    }
}

void OnRead(uv_stream_t* stream, ssize_t count, const uv_buf_t* buffer) {
    auto* request = reinterpret_cast<WriteRequest*>(buffer->base - offsetof(WriteRequest, fData));
    if (count <= 0) {
        if (buffer->base != nullptr) delete request;  // nothing read, or the stream ended
        if (count == UV_EOF) {
            // The peer has sent all it will: close once the last echoed byte has gone.
            auto* connection = static_cast<Connection*>(stream->data);
            if (uv_shutdown(&connection->fShutdown, stream, OnShutdown) != 0)
                CloseConnection(stream);
        } else if (count < 0) {
            CloseConnection(stream);
        }
        return;
    }
    const uv_buf_t echo = uv_buf_init(buffer->base, unsigned(count));
    if (uv_write(&request->fRequest, stream, &echo, 1, OnWritten) != 0) {
        delete request;
        return CloseConnection(stream);
    }
    if (uv_stream_get_write_queue_size(stream) > kPeerBufferSize) {
        static_cast<Connection*>(stream->data)->fReadingStopped = true;
        uv_read_stop(stream);
    }
}

void OnConnection(uv_stream_t* listener, int status) {
    if (status < 0) return;
    auto* connection = new Connection;
    uv_tcp_init(listener->loop, &connection->fHandle);
    connection->fHandle.data = connection;
    auto* stream = reinterpret_cast<uv_stream_t*>(&connection->fHandle);
    if (uv_accept(listener, stream) != 0) return CloseConnection(stream);
    uv_tcp_nodelay(&connection->fHandle, 1);
    uv_read_start(stream, AllocateWrite, OnRead);
}

void AllocateDatagram(uv_handle_t* handle, size_t, uv_buf_t* buffer) {
    auto* loop = static_cast<Loop*>(handle->data);
    *buffer = uv_buf_init(loop->fDatagram, sizeof(loop->fDatagram));
}

void OnDatagramSent(uv_udp_send_t* request, int) {
    std::free(reinterpret_cast<DatagramRequest*>(request));
}

void OnDatagram(uv_udp_t* handle, ssize_t count, const uv_buf_t* buffer,
                const struct sockaddr* sender, unsigned) {
    if (count < 0 || sender == nullptr) return;  // an error, or nothing more to read
    const uv_buf_t echo = uv_buf_init(buffer->base, unsigned(count));
    if (uv_udp_try_send(handle, &echo, 1, sender) != UV_EAGAIN) return;
    // The socket's send buffer is full: queue a copy, since the receive buffer is reused.
    auto* request =
        static_cast<DatagramRequest*>(std::malloc(sizeof(DatagramRequest) + size_t(count)));
    request->fLength = size_t(count);
    std::memcpy(request->fData, buffer->base, request->fLength);
    const uv_buf_t copy = uv_buf_init(request->fData, unsigned(count));
    if (uv_udp_send(&request->fRequest, handle, &copy, 1, sender, OnDatagramSent) != 0)
        std::free(request);
}

void CloseHandle(uv_handle_t* handle, void*) {
    if (uv_is_closing(handle)) return;
    // Only connections carry data that is theirs to free; the rest live in their Loop.
    uv_close(handle,
             handle->type == UV_TCP && handle->data != nullptr ? OnConnectionClosed : nullptr);
}

void OnStop(uv_async_t* async) {
    uv_walk(async->loop, CloseHandle, nullptr);
}

void OnSignal(uv_signal_t*, int) {
    for (auto& loop : sLoops)
        uv_async_send(&loop->fStop);
}

void AllowSharedPort(uv_handle_t* handle) {
    uv_os_fd_t fd;
    const int on = 1;
    if (uv_fileno(handle, &fd) == 0) setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on));
}

unsigned PortOf(const sockaddr_storage& address) {
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

// Sets the loop up on the given ports (0: the system chooses) and stores the ones bound.
int OpenLoop(Loop* loop, bool sharedPorts, unsigned* tcpPort, unsigned* udpPort) {
    uv_loop_init(&loop->fLoop);
    uv_async_init(&loop->fLoop, &loop->fStop, OnStop);
    uv_tcp_init_ex(&loop->fLoop, &loop->fListener, AF_INET);
    uv_udp_init_ex(&loop->fLoop, &loop->fDatagrams, AF_INET);
    loop->fListener.data = nullptr;
    loop->fDatagrams.data = loop;
    if (sharedPorts) {
        AllowSharedPort(reinterpret_cast<uv_handle_t*>(&loop->fListener));
        AllowSharedPort(reinterpret_cast<uv_handle_t*>(&loop->fDatagrams));
    }
    sockaddr_in address;
    uv_ip4_addr(kPeerAddress, int(*tcpPort), &address);
    int error = uv_tcp_bind(&loop->fListener, reinterpret_cast<sockaddr*>(&address), 0);
    if (error == 0)
        error =
            uv_listen(reinterpret_cast<uv_stream_t*>(&loop->fListener), SOMAXCONN, OnConnection);
    if (error != 0) return error;
    uv_ip4_addr(kPeerAddress, int(*udpPort), &address);
    error = uv_udp_bind(&loop->fDatagrams, reinterpret_cast<sockaddr*>(&address), 0);
    if (error == 0) error = uv_udp_recv_start(&loop->fDatagrams, AllocateDatagram, OnDatagram);
    if (error != 0) return error;

    sockaddr_storage bound;
    int length = sizeof(bound);
    uv_tcp_getsockname(&loop->fListener, reinterpret_cast<sockaddr*>(&bound), &length);
    *tcpPort = PortOf(bound);
    length = sizeof(bound);
    uv_udp_getsockname(&loop->fDatagrams, reinterpret_cast<sockaddr*>(&bound), &length);
    *udpPort = PortOf(bound);
    return 0;
}

void RunLoop(Loop* loop) {
    uv_run(&loop->fLoop, UV_RUN_DEFAULT);
    uv_loop_close(&loop->fLoop);
}

}  // namespace

int main(int argc, char** argv) {
    const PeerOptions options = ParsePeerOptions("uv-echo", argc, argv);
    // A client that has gone must cost its connection, not the process.
    std::signal(SIGPIPE, SIG_IGN);
    unsigned tcpPort = options.fTCPPort;
    unsigned udpPort = options.fUDPPort;
    for (unsigned i = 0; i < options.fThreads; ++i) {
        sLoops.push_back(std::make_unique<Loop>());
        // The first loop binds the ports asked for; the others share the ones it got.
        const int error = OpenLoop(sLoops.back().get(), options.fThreads > 1, &tcpPort, &udpPort);
        if (error != 0) {
            std::fprintf(stderr, "uv-echo: %s\n", uv_strerror(error));
            return 1;
        }
    }
    Loop* first = sLoops.front().get();
    const int signals[] = {SIGINT, SIGTERM};
    for (int i = 0; i < 2; ++i) {
        uv_signal_init(&first->fLoop, &first->fSignals[i]);
        uv_signal_start(&first->fSignals[i], OnSignal, signals[i]);
    }
    PrintServingLine("uv-echo", tcpPort, udpPort, options.fThreads);

    std::vector<std::thread> threads;
    for (size_t i = 1; i < sLoops.size(); ++i)
        threads.emplace_back(RunLoop, sLoops[i].get());
    RunLoop(first);
    for (std::thread& thread : threads)
        thread.join();
    std::printf("uv-echo: stopped\n");
    return 0;
}
