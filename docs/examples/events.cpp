// A task that owns a datagram socket: each arming brings one signal, each run reads until a
// read would block, and a socket left unarmed brings none, however much waits in it.
#include <commonutilities/OSThread.h>
#include <commonutilities/RuntimeHost.h>
#include <commonutilities/Task.h>
#include <commonutilities/UDPSocket.h>

#include <atomic>
#include <cstdio>
#include <string>

namespace {

constexpr uint32_t kLoopback = 0x7F000001;   // 127.0.0.1, host byte order
constexpr uint32_t kLookEvent = 0x00010000;  // "read what is there", sent by main

// Outside the task, which is deleted while main may still look.
std::atomic<int> sRuns{0};
std::atomic<int> sReceived{0};

//! [receiver]
class Receiver : public Task {
public:
    // Datagram sockets are non-blocking only when asked (stream sockets always are).
    Receiver() : fSocket(this, Socket::kSocketNonBlocking) { SetTaskName("Receiver"); }
    ~Receiver() override { fSocket.Dispose(); }  // unregistered before the task goes

    int32_t Open() {
        int32_t error = fSocket.Open(Socket::kDatagramType);
        if (error == 0) error = fSocket.Bind(kLoopback, 0);
        if (error == 0) error = fSocket.ArmEvent(kWatchRead);  // takes a message number
        return error;
    }

    int64_t Run() override {
        TakeEvents();
        sRuns++;
        for (;;) {  // read until a read would block
            char datagram[64];
            uint32_t length = 0;
            NetAddress sender;
            const int32_t result =
                fSocket.ReceiveDatagram(&sender, datagram, sizeof(datagram), &length);
            if (result == EAGAIN) break;
            if (result == 0) sReceived++;
        }
        if (sReceived == 4) return -1;  // done: deleted, socket closed
        // After the first three, it stops arming: no further signal comes from the socket.
        if (sReceived >= 3) return 0;
        return fSocket.ArmEvent(kWatchRead) == 0 ? 0 : -1;
    }

    UDPSocket fSocket;
};
//! [receiver]

bool WaitFor(const std::atomic<int>& value, int wanted) {
    for (int i = 0; i < 2000 && value < wanted; ++i)
        OSThread::Sleep(5);
    return value >= wanted;
}

}  // namespace

int main() {
    std::string error;
    if (!RuntimeHost::Start({.fTaskThreads = 1}, &error)) {
        std::fprintf(stderr, "events: %s\n", error.c_str());
        return 1;
    }
    auto* receiver = new Receiver;
    if (receiver->Open() != 0) {
        delete receiver;  // never signalled: ours to delete
        RuntimeHost::Stop();
        return 1;
    }
    std::printf("armed with message number %u\n", unsigned(receiver->fSocket.GetMessageNumber()));

    // A socket that is never armed needs no task and holds no message number.
    UDPSocket sender(nullptr, Socket::kSocketNonBlocking);
    sender.Open(Socket::kDatagramType);
    const uint16_t port = receiver->fSocket.GetLocalPort();
    for (int i = 0; i < 3; ++i)
        sender.SendDatagram(kLoopback, port, "ping", 4);
    const bool gotThree = WaitFor(sReceived, 3);
    std::printf("3 datagrams read in %d run(s)\n", sRuns.load());

    //! [unarmed]
    const int runsBefore = sRuns;
    sender.SendDatagram(kLoopback, port, "ping", 4);
    OSThread::Sleep(200);
    const bool noSignal = sRuns == runsBefore;  // not armed: not signalled
    std::printf("unarmed socket with a datagram waiting: %s\n",
                noSignal ? "no signal" : "signalled");
    receiver->Signal(kLookEvent);  // a signal of our own makes it read, and end
    //! [unarmed]
    const bool gotFour = WaitFor(sReceived, 4);
    RuntimeHost::Stop();
    return gotThree && noSignal && gotFour ? 0 : 1;
}
