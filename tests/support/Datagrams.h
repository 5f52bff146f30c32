// Datagrams a runtime socket received, gathered by its task and read by the test.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "UDPSocket.h"
#include "support/Loopback.h"
#include "support/TaskProbe.h"

struct Datagram {
    uint32_t fAddress;  // the sender, host byte order
    uint16_t fPort;
    std::string fData;
};

// Filled on a task thread, read on the test's.
class DatagramCollector {
public:
    void Add(Datagram datagram);
    size_t Count();
    Datagram At(size_t index);
    // True once `count` datagrams have come.
    bool WaitFor(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10));

private:
    std::mutex fMutex;
    std::vector<Datagram> fDatagrams;
};

// A non-blocking datagram socket bound to the address on a port the system chose and armed
// for reading; its task takes every datagram into fReceived and arms it again.
class ArmedDatagramSocket {
public:
    explicit ArmedDatagramSocket(uint32_t address = kLoopbackAddress, uint32_t flags = 0);
    // The task is let go before the socket closes, so that it never reads a closed socket.
    ~ArmedDatagramSocket();

    bool IsOpen() const { return fOpen; }
    uint16_t Port() const { return fSocket.GetLocalPort(); }
    int32_t SendTo(uint32_t address, uint16_t port, const std::string& data) {
        return fSocket.SendDatagram(address, port, data.data(), uint32_t(data.size()));
    }

    DatagramCollector fReceived;
    TaskProbe fTask;
    UDPSocket fSocket;

private:
    std::vector<char> fBuffer = std::vector<char>(65536);
    std::atomic<bool> fClosing{false};
    bool fOpen = false;
};
