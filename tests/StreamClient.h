// A loopback TCP client for tests, made straight through the platform layer. Its socket
// is non-blocking and every operation has a deadline, so a test that finds a fault fails
// instead of hanging.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "OSThread.h"
#include "platform/Platform.h"
#include "support/Loopback.h"

class StreamClient {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kDefaultLimit{10000};

    StreamClient() = default;
    ~StreamClient() { Close(); }
    StreamClient(const StreamClient&) = delete;
    StreamClient& operator=(const StreamClient&) = delete;

    // Connects (blocking) to 127.0.0.1:port, then switches to non-blocking.
    bool Connect(uint16_t port) {
        Close();
        fSocket = Platform::OpenSocket(Platform::kSocketStream);
        if (fSocket == Platform::kInvalidSocket) return false;
        const Platform::SocketAddress target = LoopbackAddress(port);
        if (Platform::ConnectSocket(fSocket, &target) != 0) {
            Close();
            return false;
        }
        return Platform::SetSocketNonBlocking(fSocket) == 0;
    }

    void Close() {
        if (fSocket != Platform::kInvalidSocket) Platform::CloseSocket(fSocket);
        fSocket = Platform::kInvalidSocket;
    }
    // Closes so that the peer sees a reset rather than an orderly end.
    void CloseWithReset() {
        if (fSocket != Platform::kInvalidSocket) Platform::CloseSocketWithReset(fSocket);
        fSocket = Platform::kInvalidSocket;
    }
    void ShutdownSend() { Platform::ShutdownSocketSend(fSocket); }
    uint16_t LocalPort() const { return PortOf(fSocket); }
    Platform::SocketHandle Handle() const { return fSocket; }

    // Bytes sent now without waiting (0 when the socket is full), or -1 on an error.
    int64_t SendSome(const char* data, size_t length) {
        const int32_t sent = Platform::SendSocket(fSocket, data, uint32_t(length));
        if (sent >= 0) return sent;
        return OSThread::LastErrorCode() == EAGAIN ? 0 : -1;
    }

    bool SendAll(const std::string& data, std::chrono::milliseconds limit = kDefaultLimit) {
        const auto deadline = Clock::now() + limit;
        size_t offset = 0;
        while (offset < data.size()) {
            const int64_t sent = SendSome(data.data() + offset, data.size() - offset);
            if (sent < 0 || Clock::now() >= deadline) return false;
            if (sent == 0) Pause();
            offset += size_t(sent);
        }
        return true;
    }

    enum class ReadResult { kData, kNothing, kClosed, kFailed };
    // One read of what is there now, appended to *out.
    ReadResult ReadSome(std::string* out, size_t most = 64 * 1024) {
        char buffer[16 * 1024];
        const uint32_t size = uint32_t(most < sizeof(buffer) ? most : sizeof(buffer));
        const int32_t received = Platform::ReceiveSocket(fSocket, buffer, size);
        if (received > 0) {
            out->append(buffer, size_t(received));
            return ReadResult::kData;
        }
        if (received == 0) return ReadResult::kClosed;
        return OSThread::LastErrorCode() == EAGAIN ? ReadResult::kNothing : ReadResult::kFailed;
    }

    // Exactly `count` more bytes appended to *out; false on an error, an early end or the
    // deadline.
    bool ReceiveExactly(size_t count, std::string* out,
                        std::chrono::milliseconds limit = kDefaultLimit) {
        const auto deadline = Clock::now() + limit;
        const size_t target = out->size() + count;
        while (out->size() < target) {
            const ReadResult result = ReadSome(out, target - out->size());
            if (result == ReadResult::kClosed || result == ReadResult::kFailed) return false;
            if (Clock::now() >= deadline) return false;
            if (result == ReadResult::kNothing) Pause();
        }
        return true;
    }

    // Reads until the peer ends the stream (closed or reset); false at the deadline.
    bool ReceiveUntilClosed(std::string* out, std::chrono::milliseconds limit = kDefaultLimit) {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            const ReadResult result = ReadSome(out);
            if (result == ReadResult::kClosed || result == ReadResult::kFailed) return true;
            if (Clock::now() >= deadline) return false;
            if (result == ReadResult::kNothing) Pause();
        }
    }

    // Sends the data while reading what comes back, until as many bytes came back.
    bool Exchange(const std::string& data, std::string* echoed,
                  std::chrono::milliseconds limit = kDefaultLimit) {
        const auto deadline = Clock::now() + limit;
        size_t offset = 0;
        const size_t target = echoed->size() + data.size();
        while (echoed->size() < target) {
            bool moved = false;
            if (offset < data.size()) {
                const int64_t sent = SendSome(data.data() + offset, data.size() - offset);
                if (sent < 0) return false;
                offset += size_t(sent);
                moved = sent > 0;
            }
            const ReadResult result = ReadSome(echoed, target - echoed->size());
            if (result == ReadResult::kClosed || result == ReadResult::kFailed) return false;
            if (Clock::now() >= deadline) return false;
            if (!moved && result == ReadResult::kNothing) Pause();
        }
        return true;
    }

private:
    static void Pause() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

    Platform::SocketHandle fSocket = Platform::kInvalidSocket;
};
