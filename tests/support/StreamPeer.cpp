#include "support/StreamPeer.h"

#include <algorithm>
#include <thread>

#include "OSThread.h"
#include "support/Loopback.h"
#include "support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

}  // namespace

void StreamPeer::Adopt(Platform::SocketHandle socket) {
    Close();
    fSocket = socket;
    Platform::SetSocketNonBlocking(fSocket);
}

bool StreamPeer::Connect(uint16_t port) {
    Close();
    fSocket = Platform::OpenSocket(Platform::kSocketStream);
    const Platform::SocketAddress target = LoopbackAddress(port);
    if (Platform::ConnectSocket(fSocket, &target) != 0 ||
        Platform::SetSocketNonBlocking(fSocket) != 0) {
        Close();
        return false;
    }
    return true;
}

void StreamPeer::Close() {
    if (fSocket != Platform::kInvalidSocket) Platform::CloseSocket(fSocket);
    fSocket = Platform::kInvalidSocket;
}

void StreamPeer::CloseWithReset() {
    if (fSocket != Platform::kInvalidSocket) Platform::CloseSocketWithReset(fSocket);
    fSocket = Platform::kInvalidSocket;
}

uint16_t StreamPeer::LocalPort() const {
    return PortOf(fSocket);
}

int64_t StreamPeer::SendSome(const char* data, size_t length) {
    const int32_t sent = Platform::SendSocket(fSocket, data, uint32_t(length));
    if (sent >= 0) return sent;
    return OSThread::LastErrorCode() == EAGAIN ? 0 : -1;
}

StreamPeer::Outcome StreamPeer::Pump(std::string_view data, std::string* out, size_t target,
                                     std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    size_t offset = 0;
    for (;;) {
        bool moved = false;
        if (offset < data.size()) {
            const int64_t sent = SendSome(data.data() + offset, data.size() - offset);
            if (sent < 0) return Outcome::kEnded;
            offset += size_t(sent);
            moved = sent > 0;
        }
        if (out != nullptr && out->size() < target) {
            char buffer[16 * 1024];
            const size_t most = std::min(sizeof(buffer), target - out->size());
            const int32_t received = Platform::ReceiveSocket(fSocket, buffer, uint32_t(most));
            if (received == 0 || (received < 0 && OSThread::LastErrorCode() != EAGAIN))
                return Outcome::kEnded;
            if (received > 0) {
                out->append(buffer, size_t(received));
                moved = true;
            }
        }
        if (offset == data.size() && (out == nullptr || out->size() >= target))
            return Outcome::kDone;
        if (Clock::now() >= deadline) return Outcome::kTimedOut;
        if (!moved) std::this_thread::sleep_for(1ms);
    }
}

bool StreamPeer::SendAll(std::string_view data, std::chrono::milliseconds limit) {
    return Pump(data, nullptr, 0, limit) == Outcome::kDone;
}

bool StreamPeer::ReceiveExactly(size_t count, std::string* out, std::chrono::milliseconds limit) {
    return Pump({}, out, out->size() + count, limit) == Outcome::kDone;
}

bool StreamPeer::ReceiveUntilClosed(std::string* out, std::chrono::milliseconds limit) {
    return Pump({}, out, SIZE_MAX, limit) == Outcome::kEnded;
}

bool StreamPeer::Exchange(std::string_view data, std::string* echoed,
                          std::chrono::milliseconds limit) {
    return Pump(data, echoed, echoed->size() + data.size(), limit) == Outcome::kDone;
}

size_t StreamPeer::PushUntilStalled(const std::string& pattern) {
    constexpr size_t kCap = 64u << 20;
    const auto deadline = Clock::now() + 10s;
    auto lastProgress = Clock::now();
    size_t pushed = 0;
    while (pushed < kCap && Clock::now() < deadline && Clock::now() - lastProgress < 300ms) {
        const size_t offset = pushed % pattern.size();
        const int64_t sent = SendSome(pattern.data() + offset, pattern.size() - offset);
        if (sent < 0) break;
        if (sent == 0) {
            std::this_thread::sleep_for(1ms);
            continue;
        }
        pushed += size_t(sent);
        lastProgress = Clock::now();
    }
    return pushed;
}

StreamPair::StreamPair(uint32_t flags) : fSocket(&fTask, flags) {
    Platform::SocketHandle peer = Platform::kInvalidSocket;
    Platform::SocketHandle other = Platform::kInvalidSocket;
    fMade = MakeStreamPair(&peer, &other);
    if (!fMade) return;
    fPeer.Adopt(peer);
    fSocket.SetNonBlocking(other);
}

bool StreamPair::WaitReadable() {
    const int before = fTask.fRuns.load();
    fSocket.ArmEvent(kWatchRead);
    return WaitUntil([&] { return fTask.fRuns.load() > before; });
}
