#include "support/Datagrams.h"

#include "support/TestSupport.h"

void DatagramCollector::Add(Datagram datagram) {
    std::lock_guard<std::mutex> lock(fMutex);
    fDatagrams.push_back(std::move(datagram));
}

size_t DatagramCollector::Count() {
    std::lock_guard<std::mutex> lock(fMutex);
    return fDatagrams.size();
}

Datagram DatagramCollector::At(size_t index) {
    std::lock_guard<std::mutex> lock(fMutex);
    return index < fDatagrams.size() ? fDatagrams[index] : Datagram{0, 0, "(none)"};
}

bool DatagramCollector::WaitFor(size_t count, std::chrono::milliseconds limit) {
    return WaitUntil([&] { return Count() >= count; }, limit);
}

ArmedDatagramSocket::ArmedDatagramSocket(uint32_t address, uint32_t flags)
    : fSocket(&fTask, flags | Socket::kSocketNonBlocking) {
    fTask.fBody = [this](TaskProbe&) -> int64_t {
        if (fClosing.load()) return 0;
        uint32_t from = 0, length = 0;
        uint16_t port = 0;
        while (fSocket.ReceiveDatagram(&from, &port, fBuffer.data(), uint32_t(fBuffer.size()),
                                       &length) == 0)
            fReceived.Add({from, port, std::string(fBuffer.data(), length)});
        fSocket.ArmEvent(kWatchRead);
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
