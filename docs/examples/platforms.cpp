// One source for both platforms: asks to share its port with other processes, and falls
// back to a port of its own where the platform cannot share one.
#include <commonutilities/RuntimeHost.h>
#include <commonutilities/TCPListenerSocket.h>

#include <cstdio>
#include <string>

namespace {

// Turns every connection away; enough to show listening.
class ClosingListener : public TCPListenerSocket {
protected:
    Task* CreateConnectionTask(uint32_t, uint16_t, TCPSocket**) override { return nullptr; }
};

}  // namespace

int main() {
    std::string error;
    if (!RuntimeHost::Start({.fTaskThreads = 1}, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    //! [share]
    auto* listener = new ClosingListener;
    listener->SharePort();
    int32_t result = listener->Listen(0x7F000001, 0);  // 127.0.0.1, a port of the system's
    const bool shared = result == 0;
    if (result == kErrNotSupported) {  // Windows: no port shared among processes
        delete listener;               // it never ran: still ours
        listener = new ClosingListener;
        result = listener->Listen(0x7F000001, 0);
    }
    //! [share]
    if (result != 0) {
        std::fprintf(stderr, "listen failed: %d\n", int(result));
        delete listener;
        RuntimeHost::Stop();
        return 1;
    }
    std::printf("listening on port %u, %s\n", unsigned(listener->GetLocalPort()),
                shared ? "shared with other processes" : "alone");
    listener->StopListening();  // its task thread closes it and deletes it
    RuntimeHost::Stop();        // after the threads have emptied their run queues
    return 0;
}
