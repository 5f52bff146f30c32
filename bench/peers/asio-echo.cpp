// Echo service (RFC 862) on standalone Asio, for comparison with the runtime's echo-service:
// one io_context run by --threads threads. Each connection is a chain of async_read_some and
// async_write on its own buffer, so it reads nothing more while the peer has not taken what
// went back; the UDP socket receives one datagram, sends it back, and receives again.
#include <array>
#include <asio.hpp>
#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "PeerOptions.h"

using asio::ip::tcp;
using asio::ip::udp;

namespace {

class Session : public std::enable_shared_from_this<Session> {
public:
    explicit Session(tcp::socket socket) : fSocket(std::move(socket)) {}

    void Start() {
        fSocket.set_option(tcp::no_delay(true));
        Read();
    }

private:
    void Read() {
        fSocket.async_read_some(asio::buffer(fData),
                                [self = shared_from_this()](std::error_code error, size_t length) {
                                    if (!error) self->Write(length);
                                });
    }

    void Write(size_t length) {
        asio::async_write(fSocket, asio::buffer(fData, length),
                          [self = shared_from_this()](std::error_code error, size_t) {
                              if (!error) self->Read();
                          });
    }

    tcp::socket fSocket;
    std::array<char, kPeerBufferSize> fData;
};

class Server {
public:
    Server(asio::io_context& context, const asio::ip::address& address, unsigned tcpPort,
           unsigned udpPort)
        : fAcceptor(context, tcp::endpoint(address, tcpPort)),
          fDatagrams(context, udp::endpoint(address, udpPort)) {
        Accept();
        Receive();
    }

    unsigned TCPPort() const { return fAcceptor.local_endpoint().port(); }
    unsigned UDPPort() const { return fDatagrams.local_endpoint().port(); }

private:
    void Accept() {
        fAcceptor.async_accept([this](std::error_code error, tcp::socket socket) {
            if (error == asio::error::operation_aborted) return;
            if (!error) std::make_shared<Session>(std::move(socket))->Start();
            Accept();
        });
    }

    void Receive() {
        fDatagrams.async_receive_from(
            asio::buffer(fDatagram), fSender, [this](std::error_code error, size_t length) {
                if (error == asio::error::operation_aborted) return;
                if (error) return Receive();
                // The next receive waits until this one went back: the buffer is shared.
                fDatagrams.async_send_to(asio::buffer(fDatagram, length), fSender,
                                         [this](std::error_code, size_t) { Receive(); });
            });
    }

    tcp::acceptor fAcceptor;
    udp::socket fDatagrams;
    udp::endpoint fSender;
    std::array<char, kPeerBufferSize> fDatagram;
};

}  // namespace

int main(int argc, char** argv) {
    const PeerOptions options = ParsePeerOptions("asio-echo", argc, argv);
    // A client that has gone must cost its connection, not the process.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        asio::io_context context(int(options.fThreads));
        Server server(context, asio::ip::make_address(kPeerAddress), options.fTCPPort,
                      options.fUDPPort);
        asio::signal_set signals(context, SIGINT, SIGTERM);
        signals.async_wait([&context](std::error_code, int) { context.stop(); });
        PrintServingLine("asio-echo", server.TCPPort(), server.UDPPort(), options.fThreads);

        std::vector<std::thread> threads;
        for (unsigned i = 1; i < options.fThreads; ++i)
            threads.emplace_back([&] { context.run(); });
        context.run();
        for (std::thread& thread : threads)
            thread.join();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "asio-echo: %s\n", error.what());
        return 1;
    }
    std::printf("asio-echo: stopped\n");
    return 0;
}
