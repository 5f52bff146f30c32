#include "support/StreamPeer.h"

#include <algorithm>

#include "OSThread.h"

using Clock = std::chrono::steady_clock;

bool StreamPeer::Connect(uint16_t port) {
    return Connect(NetAddress::IPv4(kLoopbackAddress, port));
}

bool StreamPeer::Connect(const NetAddress& address) {
    Close();
    Platform::SocketAddressStorage target;
    address.ToSocketAddress(&target);
    fSocket = Platform::OpenSocket(Platform::kSocketStream, target.fIPv4.fFamily);
    if (Platform::ConnectSocket(fSocket, &target) == 0 &&
        Platform::SetSocketNonBlocking(fSocket) == 0)
        return true;
    Close();
    return false;
}

void StreamPeer::Close() {
    if (fSocket != Platform::kInvalidSocket) Platform::CloseSocket(fSocket);
    fSocket = Platform::kInvalidSocket;
}

void StreamPeer::CloseWithReset() {
    if (fSocket != Platform::kInvalidSocket) Platform::CloseSocketWithReset(fSocket);
    fSocket = Platform::kInvalidSocket;
}

int64_t StreamPeer::SendSome(const char* data, size_t length) {
    const int32_t sent = Platform::SendSocket(fSocket, data, uint32_t(length));
    if (sent >= 0) return sent;
    return OSThread::LastErrorCode() == EAGAIN ? 0 : -1;
}

StreamPeer::Outcome StreamPeer::Pump(std::string_view data, std::string* out, size_t target,
                                     Limit limit) {
    const auto deadline = Clock::now() + limit;
    for (size_t offset = 0;;) {
        const int64_t sent =
            offset < data.size() ? SendSome(&data[offset], data.size() - offset) : 0;
        if (sent < 0) return kEnded;
        offset += size_t(sent);
        int32_t received = 0;
        if (out != nullptr && out->size() < target) {
            char buffer[16 * 1024];
            const size_t most = std::min(sizeof(buffer), target - out->size());
            received = Platform::ReceiveSocket(fSocket, buffer, uint32_t(most));
            if (received == 0 || (received < 0 && OSThread::LastErrorCode() != EAGAIN))
                return kEnded;
            if (received > 0) out->append(buffer, size_t(received));
        }
        if (offset == data.size() && (out == nullptr || out->size() >= target)) return kDone;
        if (Clock::now() >= deadline) return kTimedOut;
        if (sent <= 0 && received <= 0) std::this_thread::sleep_for(1ms);
    }
}

size_t StreamPeer::PushUntilStalled(const std::string& pattern) {
    const auto deadline = Clock::now() + 10s;
    auto lastProgress = Clock::now();
    size_t pushed = 0;
    while (pushed < (64u << 20) && Clock::now() < deadline && Clock::now() - lastProgress < 300ms) {
        const size_t offset = pushed % pattern.size();
        const int64_t sent = SendSome(&pattern[offset], pattern.size() - offset);
        if (sent < 0) break;
        if (sent == 0) std::this_thread::sleep_for(1ms);
        if (sent > 0) lastProgress = Clock::now();
        pushed += size_t(sent);
    }
    return pushed;
}

std::vector<std::unique_ptr<StreamPeer>> ConnectPeers(uint16_t port, size_t count) {
    std::vector<std::unique_ptr<StreamPeer>> peers;
    while (peers.size() < count) {
        auto peer = std::make_unique<StreamPeer>();
        if (!peer->Connect(port)) break;
        peers.push_back(std::move(peer));
    }
    return peers;
}

StreamPair::StreamPair(uint32_t flags) : fSocket(&fTask, flags) {
    Platform::SocketHandle other = Platform::kInvalidSocket;
    fMade = MakeStreamPair(&fPeer.fSocket, &other) &&
            Platform::SetSocketNonBlocking(fPeer.fSocket) == 0;
    if (other != Platform::kInvalidSocket) fSocket.SetNonBlocking(other);
}

bool StreamPair::WaitReadable() {
    const int before = fTask.fRuns.load();
    fSocket.ArmEvent(kWatchRead);
    return WaitUntil([&] { return fTask.fRuns.load() > before; });
}
