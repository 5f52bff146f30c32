#include "UDPSocket.h"

#include <cstring>

#include "OSAssert.h"
#include "OSThread.h"

namespace {

constexpr int kAssertSendData = 73;
constexpr int kAssertReceiveLength = 115;
constexpr int kAssertReceiveAddress = 116;
constexpr int kAssertReceivePort = 117;
constexpr int kAssertReceiveCount = 140;
constexpr int kAssertMulticastInterface = 182;
constexpr int kAssertBatchArguments = 200;

uint32_t BatchSize(uint32_t count) {
    return count < UDPSocket::kMostDatagrams ? count : UDPSocket::kMostDatagrams;
}

}  // namespace

UDPSocket::UDPSocket(Task* notifyTask, uint32_t flags) : Socket(notifyTask, flags) {
    if (flags & kUseDemultiplexer) fDemultiplexer = new UDPDemultiplexer;
}

UDPSocket::~UDPSocket() {
    // Before the base classes' destructors: a delivery in progress calls OnEvent virtually.
    if (fCloseOnDestroy) Dispose();
    delete fDemultiplexer;
}

int32_t UDPSocket::SendDatagram(uint32_t address, uint16_t port, const void* data,
                                uint32_t length) {
    Platform::SocketAddressStorage target{};
    target.fIPv4.fFamily = Platform::kAddressFamilyInet;
    target.fIPv4.fPort = Platform::HostToNetwork16(port);
    target.fIPv4.fAddress = Platform::HostToNetwork32(address);
    return SendTo(target, data, length);
}

int32_t UDPSocket::SendDatagram(const NetAddress& to, const void* data, uint32_t length) {
    Platform::SocketAddressStorage target;
    to.ToSocketAddress(&target);
    return SendTo(target, data, length);
}

int32_t UDPSocket::SendTo(const Platform::SocketAddressStorage& target, const void* data,
                          uint32_t length) {
    AssertAt(data != nullptr, kAssertSendData);
    // A caller's mistake never reaches the platform: no datagram, nothing read from null.
    if (data == nullptr) return kErrNotConnected;
    if (Platform::SendSocketTo(fSocket, data, length, &target) == -1)
        return OSThread::LastErrorCode();
    return 0;
}

int32_t UDPSocket::ReceiveDatagram(uint32_t* outAddress, uint16_t* outPort, void* buffer,
                                   uint32_t bufferSize, uint32_t* outLength) {
    AssertAt(outLength != nullptr, kAssertReceiveLength);
    AssertAt(outAddress != nullptr, kAssertReceiveAddress);
    AssertAt(outPort != nullptr, kAssertReceivePort);
    if (outLength == nullptr || outAddress == nullptr || outPort == nullptr)
        return kErrNotConnected;
    const int32_t error = ReceiveFrom(buffer, bufferSize, outLength);
    // Stored whatever the result: after a failure they name the previous sender.
    *outAddress = IPv4Of(fLastSender);
    *outPort = Platform::NetworkToHost16(fLastSender.fIPv4.fPort);
    return error;
}

int32_t UDPSocket::ReceiveDatagram(NetAddress* outSender, void* buffer, uint32_t bufferSize,
                                   uint32_t* outLength) {
    AssertAt(outLength != nullptr, kAssertReceiveLength);
    AssertAt(outSender != nullptr, kAssertReceiveAddress);
    if (outLength == nullptr || outSender == nullptr) return kErrNotConnected;
    const int32_t error = ReceiveFrom(buffer, bufferSize, outLength);
    *outSender = NetAddress::FromSocketAddress(fLastSender);
    return error;
}

int32_t UDPSocket::ReceiveFrom(void* buffer, uint32_t bufferSize, uint32_t* outLength) {
    const int32_t received = Platform::ReceiveSocketFrom(fSocket, buffer, bufferSize, &fLastSender);
    if (received == -1) return OSThread::LastErrorCode();
    AssertAt(received >= 0, kAssertReceiveCount);
    *outLength = uint32_t(received);
    return 0;
}

int32_t UDPSocket::ReceiveDatagrams(Datagram* batch, uint32_t count, uint32_t* received) {
    AssertAt(batch != nullptr && received != nullptr, kAssertBatchArguments);
    if (batch == nullptr || received == nullptr) return kErrNotConnected;
    count = BatchSize(count);
    *received = 0;
    if (count == 0) return 0;
    Platform::BatchDatagram platformBatch[kMostDatagrams];
    for (uint32_t i = 0; i < count; ++i) {
        platformBatch[i].fData = static_cast<char*>(batch[i].fData);
        platformBatch[i].fSize = batch[i].fCapacity;
    }
    uint32_t done = 0;
    if (Platform::ReceiveSocketBatch(fSocket, platformBatch, count, &done) != 0)
        return OSThread::LastErrorCode();
    for (uint32_t i = 0; i < done; ++i) {
        const Platform::BatchDatagram& taken = platformBatch[i];
        batch[i].fLength = taken.fLength;
        batch[i].fPeer = NetAddress::FromSocketAddress(taken.fPeer);
        batch[i].fError = taken.fError == 0 ? 0 : OSThread::ErrorCodeOf(taken.fError);
    }
    fLastSender = platformBatch[done - 1].fPeer;  // what a single receive after a failure tells
    *received = done;
    return 0;
}

int32_t UDPSocket::SendDatagrams(const Datagram* batch, uint32_t count, uint32_t* sent) {
    AssertAt(batch != nullptr && sent != nullptr, kAssertBatchArguments);
    if (batch == nullptr || sent == nullptr) return kErrNotConnected;
    count = BatchSize(count);
    *sent = 0;
    Platform::BatchDatagram platformBatch[kMostDatagrams];
    uint32_t ready = 0;
    for (; ready < count; ++ready) {
        // As in the single send, no datagram from null: the batch ends before it.
        AssertAt(batch[ready].fData != nullptr, kAssertSendData);
        if (batch[ready].fData == nullptr) break;
        platformBatch[ready].fData = static_cast<char*>(batch[ready].fData);
        platformBatch[ready].fLength = batch[ready].fLength;
        batch[ready].fPeer.ToSocketAddress(&platformBatch[ready].fPeer);
    }
    if (ready == 0) return count == 0 ? 0 : kErrNotConnected;
    if (Platform::SendSocketBatch(fSocket, platformBatch, ready, sent) != 0)
        return OSThread::LastErrorCode();
    return 0;
}

int32_t UDPSocket::SetOption(Platform::SocketOption option, const void* value, uint32_t length) {
    if (Platform::SetSocketOption(fSocket, option, value, length) == -1)
        return OSThread::LastErrorCode();
    return 0;
}

int32_t UDPSocket::ChangeMembership(Platform::SocketOption option, uint32_t group) {
    // Group, then the interface: the address the socket is bound to, in network order.
    const uint32_t membership[2] = {Platform::HostToNetwork32(group), fLocalAddress.fIPv4.fAddress};
    return SetOption(option, membership, sizeof(membership));
}

int32_t UDPSocket::ChangeMembership(Platform::SocketOption option, const NetAddress& group,
                                    uint32_t interfaceIndex) {
    if (!group.IsIPv6()) return kErrBadAddress;
    // The group's bytes, then the interface index: the same twenty bytes on every platform.
    uint8_t membership[20];
    memcpy(membership, group.GetBytes(), 16);
    memcpy(membership + 16, &interfaceIndex, 4);
    return SetOption(option, membership, sizeof(membership));
}

int32_t UDPSocket::JoinGroup(uint32_t group) {
    return ChangeMembership(Platform::SocketOption::kAddMembership, group);
}

int32_t UDPSocket::LeaveGroup(uint32_t group) {
    return ChangeMembership(Platform::SocketOption::kDropMembership, group);
}

int32_t UDPSocket::JoinGroup(const NetAddress& group, uint32_t interfaceIndex) {
    return ChangeMembership(Platform::SocketOption::kIPv6JoinGroup, group, interfaceIndex);
}

int32_t UDPSocket::LeaveGroup(const NetAddress& group, uint32_t interfaceIndex) {
    return ChangeMembership(Platform::SocketOption::kIPv6LeaveGroup, group, interfaceIndex);
}

int32_t UDPSocket::SetMulticastTtl(uint32_t ttl) {
    const uint8_t value = uint8_t(ttl);
    return SetOption(Platform::SocketOption::kMulticastTtl, &value, 1);
}

int32_t UDPSocket::SetMulticastInterface(uint32_t interfaceAddress) {
    const int32_t error = SetOption(Platform::SocketOption::kMulticastInterface, &interfaceAddress,
                                    sizeof(interfaceAddress));
    AssertVAt(error == 0, error, kAssertMulticastInterface);
    return error;
}
