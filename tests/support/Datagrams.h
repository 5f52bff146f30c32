// A datagram socket of the runtime whose task collects what it receives, for the test to
// read.
#pragma once

#include <mutex>

#include "UDPSocket.h"
#include "support/Loopback.h"
#include "support/TaskProbe.h"

struct Datagram {
    uint32_t fAddress;  // the sender, host byte order
    uint16_t fPort;
    std::string fData;
};

// Non-blocking, bound to the address on a port the system chose and armed for reading; its
// task takes every datagram and arms it again.
class ArmedDatagramSocket {
public:
    explicit ArmedDatagramSocket(uint32_t address = kLoopbackAddress);
    // The task is let go before the socket closes, so that it never reads a closed socket.
    ~ArmedDatagramSocket();

    bool IsOpen() const { return fOpen; }
    uint16_t Port() const { return fSocket.GetLocalPort(); }
    int32_t SendTo(uint32_t address, uint16_t port, const std::string& data) {
        return fSocket.SendDatagram(address, port, data.data(), uint32_t(data.size()));
    }
    size_t Count();
    Datagram At(size_t index);  // an empty one from port 0 when there is none
    bool WaitFor(size_t count) {
        return WaitUntil([&] { return Count() >= count; });
    }

    TaskProbe fTask;
    UDPSocket fSocket;

private:
    std::mutex fMutex;
    std::vector<Datagram> fReceived;
    std::vector<char> fBuffer = std::vector<char>(65536);
    std::atomic<bool> fClosing{false};
    bool fOpen = false;
};
