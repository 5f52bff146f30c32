#include "support/Datagrams.h"

ArmedDatagramSocket::ArmedDatagramSocket(uint32_t address)
    : fSocket(&fTask, Socket::kSocketNonBlocking) {
    fTask.fBody = [this](TaskProbe&) -> int64_t {
        uint32_t from = 0, length = 0;
        uint16_t port = 0;
        while (!fClosing && fSocket.ReceiveDatagram(&from, &port, fBuffer.data(),
                                                    uint32_t(fBuffer.size()), &length) == 0) {
            std::lock_guard<std::mutex> lock(fMutex);
            fReceived.push_back({from, port, std::string(fBuffer.data(), length)});
        }
        if (!fClosing) fSocket.ArmEvent(kWatchRead);
        return 0;
    };
    fOpen = fSocket.Open(Socket::kDatagramType) == 0 && fSocket.Bind(address, 0) == 0;
    if (fOpen) fSocket.ArmEvent(kWatchRead);
}

ArmedDatagramSocket::~ArmedDatagramSocket() {
    fClosing = true;
    WaitUntil([this] { return (fTask.GetEvents() & Task::kScheduledBit) == 0; });
    fSocket.Dispose();
}

size_t ArmedDatagramSocket::Count() {
    std::lock_guard<std::mutex> lock(fMutex);
    return fReceived.size();
}

Datagram ArmedDatagramSocket::At(size_t index) {
    std::lock_guard<std::mutex> lock(fMutex);
    return index < fReceived.size() ? fReceived[index] : Datagram{0, 0, ""};
}
