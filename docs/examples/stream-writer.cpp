// A StreamWriter against a peer that never reads: the socket takes what the system buffers
// hold, the writer keeps up to its capacity, and then refuses whole writes.
#include <commonutilities/OSThread.h>
#include <commonutilities/RuntimeHost.h>
#include <commonutilities/StreamWriter.h>
#include <commonutilities/TCPListenerSocket.h>
#include <commonutilities/TCPSocket.h>
#include <commonutilities/Task.h>
#include <commonutilities/TaskGroup.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kLoopback = 0x7F000001;
constexpr uint32_t kStopEvent = TCPListenerSocket::kStopEvent;
TaskGroup sTasks;

// Holds its connection open and never reads from it.
class Sleeper : public Task {
public:
    Sleeper() : fSocket(this, 0) {}
    ~Sleeper() override { fSocket.Dispose(); }
    int64_t Run() override { return (TakeEvents() & kStopEvent) ? -1 : 0; }

    TaskGroup::Member fMember{this};
    TCPSocket fSocket;
};

class SleeperListener : public TCPListenerSocket {
public:
    SleeperListener() { fMember.Join(&sTasks); }
    ~SleeperListener() override { Dispose(); }

protected:
    Task* CreateConnectionTask(uint32_t, uint16_t, TCPSocket** outSocket) override {
        auto* sleeper = new Sleeper;
        if (!sleeper->fMember.Join(&sTasks)) {
            delete sleeper;
            return nullptr;
        }
        *outSocket = &sleeper->fSocket;
        return sleeper;
    }

private:
    TaskGroup::Member fMember{this};
};

}  // namespace

int main() {
    std::string error;
    if (!RuntimeHost::Start({.fTaskThreads = 1}, &error)) {
        std::fprintf(stderr, "stream-writer: %s\n", error.c_str());
        return 1;
    }
    auto* listener = new SleeperListener;
    if (listener->Listen(kLoopback, 0) != 0) {
        delete listener;  // never ran: ours to delete
        RuntimeHost::Stop();
        return 1;
    }

    // A socket of no task, used by this thread alone: nobody is signalled when it drains.
    TCPSocket client(nullptr, 0);
    int32_t connected = client.Connect(kLoopback, listener->GetLocalPort());
    for (int i = 0; i < 2000 && connected == kErrInProgress; ++i) {
        OSThread::Sleep(5);
        connected = client.CheckConnect();
    }

    //! [bounds]
    StreamWriter writer(&client, 64 * 1024);
    const std::vector<char> chunk(16 * 1024, 'x');
    int32_t result = 0;
    while ((result = writer.Write(chunk.data(), uint32_t(chunk.size()))) == 0) {
    }
    // Refused whole: nothing of the refused write was taken.
    std::printf("refused with %d; capacity %u, kept %u, room %u\n", int(result),
                unsigned(writer.Capacity()), unsigned(writer.Pending()), unsigned(writer.Room()));

    // Longer than the capacity: refused however empty the writer is.
    StreamWriter small(&client, 1024);
    const int32_t tooLong = small.Write(chunk.data(), 1025);
    std::printf("1025 bytes to a 1024-byte writer: %d\n", int(tooLong));
    //! [bounds]

    sTasks.Stop(kStopEvent);
    const bool ended = sTasks.WaitUntilEmpty(10000);
    RuntimeHost::Stop();
    return connected == 0 && result == kErrNoRoom && tooLong == kErrNoRoom &&
                   writer.Pending() + chunk.size() > writer.Capacity() && ended
               ? 0
               : 1;
}
