// The echo service's connection handling fed arbitrary byte streams and close patterns:
// up to four clients connect, send, read, half-close, reset or vanish in the order the
// input says. Every byte a client reads back must be what it sent, in order; a client that
// half-closes gets everything back and then the end of the stream; the service must stay
// healthy for the next client, and its buffers must stay within their fixed bound.
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "EchoConnectionTask.h"
#include "EchoService.h"
#include "FuzzInput.h"
#include "FuzzSupport.h"
#include "OSThread.h"
#include "RuntimeHost.h"
#include "platform/Platform.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kClients = 4;
constexpr size_t kMostPerClient = 64 * 1024;  // a client never sends more than it can read back
constexpr auto kDrainLimit = std::chrono::seconds(10);

EchoService* sService = nullptr;

class Client {
public:
    ~Client() { Drop(false); }

    bool Open() {
        Drop(false);
        fSocket = Platform::OpenSocket(Platform::kSocketStream);
        Platform::SocketAddress target{};
        target.fFamily = Platform::kAddressFamilyInet;
        target.fPort = Platform::HostToNetwork16(sService->GetTCPPort());
        target.fAddress = Platform::HostToNetwork32(0x7F000001);
        if (Platform::ConnectSocket(fSocket, &target) != 0 ||
            Platform::SetSocketNonBlocking(fSocket) != 0) {
            Drop(false);
            return false;
        }
        fSent.clear();
        fEchoed = 0;
        fHalfClosed = false;
        return true;
    }
    bool IsOpen() const { return fSocket != Platform::kInvalidSocket; }

    // Sends what fits now; the rest of the chunk is dropped (it was never sent).
    void Send(const std::string& chunk) {
        if (!IsOpen() || fHalfClosed) return;
        const size_t room = kMostPerClient - fSent.size();
        const std::string part = chunk.substr(0, room);
        if (part.empty()) return;
        const int32_t sent = Platform::SendSocket(fSocket, part.data(), uint32_t(part.size()));
        if (sent > 0) fSent.append(part, 0, size_t(sent));
    }

    // Reads what has come back so far, checking every byte; true at the end of the stream.
    bool ReadAvailable() {
        char buffer[4096];
        for (;;) {
            const int32_t got = Platform::ReceiveSocket(fSocket, buffer, sizeof(buffer));
            if (got == 0) return true;
            if (got < 0) return false;
            FUZZ_CHECK(fEchoed + size_t(got) <= fSent.size());
            FUZZ_CHECK(fSent.compare(fEchoed, size_t(got), buffer, size_t(got)) == 0);
            fEchoed += size_t(got);
        }
    }

    // Half-closes, then everything sent must come back, followed by the end of the stream.
    void FinishAndCheck() {
        if (!IsOpen()) return;
        Platform::ShutdownSocketSend(fSocket);
        fHalfClosed = true;
        const auto deadline = Clock::now() + kDrainLimit;
        bool ended = false;
        while (!ended && Clock::now() < deadline) {
            ended = ReadAvailable();
            if (!ended) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        FUZZ_CHECK(ended);
        FUZZ_CHECK(fEchoed == fSent.size());
        Drop(false);
    }

    void Drop(bool withReset) {
        if (!IsOpen()) return;
        if (withReset) {
            Platform::CloseSocketWithReset(fSocket);
        } else {
            Platform::CloseSocket(fSocket);
        }
        fSocket = Platform::kInvalidSocket;
    }

private:
    Platform::SocketHandle fSocket = Platform::kInvalidSocket;
    std::string fSent;
    size_t fEchoed = 0;
    bool fHalfClosed = false;
};

// The process-wide locks are destroyed at exit; task threads must be gone before then.
void StopServiceAtExit() {
    sService->Stop();
    RuntimeHost::Stop();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string error;
    if (!RuntimeHost::Start({.fTaskThreads = 2, .fAssertLogger = &FuzzAsserts()}, &error)) {
        std::fprintf(stderr, "runtime: %s\n", error.c_str());
        std::abort();
    }
    sService = new EchoService;  // serves for the life of the process
    EchoServiceConfig config;
    config.fServeUDP = false;
    if (!sService->Start(config, &error)) {
        std::fprintf(stderr, "echo service: %s\n", error.c_str());
        std::abort();
    }
    std::atexit(StopServiceAtExit);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    Client clients[kClients];
    for (int step = 0; step < 64 && !input.Empty(); ++step) {
        Client& client = clients[input.Below(kClients)];
        switch (input.Below(7)) {
            case 0:
                FUZZ_CHECK(client.Open());
                break;
            case 1:
            case 2:
                if (!client.IsOpen()) FUZZ_CHECK(client.Open());
                client.Send(input.Bytes(2048));
                break;
            case 3:
                if (client.IsOpen()) client.ReadAvailable();
                break;
            case 4:
                client.FinishAndCheck();
                break;
            case 5:
                client.Drop(true);  // a reset, perhaps with echoes still on their way
                break;
            case 6:
                client.Drop(false);  // vanishes without reading
                break;
        }
    }
    for (Client& client : clients)
        client.FinishAndCheck();

    // The service is still healthy for the next client, and held no more than its buffers.
    Client probe;
    FUZZ_CHECK(probe.Open());
    probe.Send("ping");
    probe.FinishAndCheck();
    FUZZ_CHECK(sService->Stats().fPeakBufferedBytes.load() <=
               int64_t(EchoConnectionTask::kBufferSize) * 4096);
    return 0;
}
