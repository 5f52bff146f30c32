// A loopback UDP client for tests: a non-blocking socket bound to 127.0.0.1, with
// deadlines on every wait.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "platform/Platform.h"
#include "support/Loopback.h"

class DatagramClient {
public:
    DatagramClient() {
        fSocket = OpenBoundDatagramSocket(&fPort);
        if (fSocket != Platform::kInvalidSocket) Platform::SetSocketNonBlocking(fSocket);
    }
    ~DatagramClient() {
        if (fSocket != Platform::kInvalidSocket) Platform::CloseSocket(fSocket);
    }
    DatagramClient(const DatagramClient&) = delete;
    DatagramClient& operator=(const DatagramClient&) = delete;

    bool IsOpen() const { return fSocket != Platform::kInvalidSocket; }

    bool Send(uint16_t port, const std::string& data) {
        const Platform::SocketAddress target = LoopbackAddress(port);
        return Platform::SendSocketTo(fSocket, data.data(), uint32_t(data.size()), &target) ==
               int32_t(data.size());
    }

    // The next datagram and its sender's port; false at the deadline.
    bool Receive(std::string* data, uint16_t* senderPort,
                 std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::string buffer(65536, '\0');
        for (;;) {
            Platform::SocketAddress sender{};
            const int32_t received = Platform::ReceiveSocketFrom(fSocket, buffer.data(),
                                                                 uint32_t(buffer.size()), &sender);
            if (received >= 0) {
                data->assign(buffer.data(), size_t(received));
                *senderPort = Platform::NetworkToHost16(sender.fPort);
                return true;
            }
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

private:
    Platform::SocketHandle fSocket = Platform::kInvalidSocket;
    uint16_t fPort = 0;
};
