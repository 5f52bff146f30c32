#include "Socket.h"

#include <cstdio>
#include <cstring>

#include "OSAssert.h"
#include "OSThread.h"
#include "SocketUtils.h"

namespace {

constexpr int kAssertOpenTwice = 86;
constexpr int kAssertReuseAddress = 103;
constexpr int kAssertNoDelay = 110;
constexpr int kAssertKeepAlive = 117;
constexpr int kAssertSendBufferSize = 131;
constexpr int kAssertNoAddressText = 241;
constexpr int kAssertUnboundHostName = 248;
constexpr int kAssertNoHostName = 265;
constexpr int kAssertSendData = 282;
constexpr int kAssertSendVectorBuffers = 307;
constexpr int kAssertReadCount = 340;
constexpr int kAssertReadBuffer = 341;

// A port has at most five digits, so this length never belongs to a formatted port.
constexpr uint32_t kPortNotFormatted = 8;

bool SetIntOption(int32_t socket, Platform::SocketOption option, int32_t value) {
    return Platform::SetSocketOption(socket, option, &value, sizeof(value)) == 0;
}

}  // namespace

EventLoopThread* Socket::sEventLoop = nullptr;

Socket::Socket(Task* notifyTask, uint32_t flags)
    : EventContext(-1, sEventLoop), fFlags(flags), fPortString(fPortText, kPortNotFormatted) {
    SetTask(notifyTask);
}

int32_t Socket::Open(int32_t socketType, NetAddress::Family family) {
    AssertAt(fSocket == -1, kAssertOpenTwice);
    if (fSocket != -1) return 0;  // keep the handle this socket already owns
    if (family == NetAddress::Family::kNone) return kErrBadAddress;
    fSocket = Platform::OpenSocket(socketType, family == NetAddress::Family::kIPv6
                                                   ? Platform::kAddressFamilyInet6
                                                   : Platform::kAddressFamilyInet);
    if (fSocket == -1) return OSThread::LastErrorCode();
    if (fFlags & kSocketNonBlocking) SetNonBlocking(fSocket);
    return 0;
}

void Socket::SetReuseAddress() {
    AssertAt(SetIntOption(fSocket, Platform::SocketOption::kReuseAddress, 1), kAssertReuseAddress);
}

void Socket::SetNoDelay() {
    AssertAt(SetIntOption(fSocket, Platform::SocketOption::kNoDelay, 1), kAssertNoDelay);
}

void Socket::SetKeepAlive() {
    AssertAt(SetIntOption(fSocket, Platform::SocketOption::kKeepAlive, 1), kAssertKeepAlive);
}

void Socket::SetSendBufferSize(uint32_t size) {
    if (!SetIntOption(fSocket, Platform::SocketOption::kSendBufferSize, int32_t(size)))
        AssertVAt(false, OSThread::LastErrorCode(), kAssertSendBufferSize);
}

int32_t Socket::SetReceiveBufferSize(uint32_t size) {
    if (!SetIntOption(fSocket, Platform::SocketOption::kReceiveBufferSize, int32_t(size)))
        return OSThread::LastErrorCode();
    return 0;
}

int32_t Socket::SetIPv6Only(bool only) {
    if (!SetIntOption(fSocket, Platform::SocketOption::kIPv6Only, only ? 1 : 0))
        return OSThread::LastErrorCode();
    return 0;
}

int32_t Socket::Bind(uint32_t address, uint16_t port) {
    return Bind(NetAddress::IPv4(address, port));
}

int32_t Socket::Bind(const NetAddress& address) {
    address.ToSocketAddress(&fLocalAddress);
    if (Platform::BindSocket(fSocket, &fLocalAddress) != 0) {
        const int32_t error = OSThread::LastErrorCode();
        fLocalAddress = Platform::SocketAddressStorage{};
        return error;
    }
    Platform::GetSocketName(fSocket, &fLocalAddress);  // the port the system chose
    fFlags |= kSocketBound;
    return 0;
}

StrPtrLen* Socket::FindInterfaceText(StrPtrLen* (*text)(uint32_t index)) {
    const uint32_t local = GetLocalAddress();
    for (uint32_t i = 0; i < SocketUtils::GetInterfaceCount(); ++i) {
        if (SocketUtils::GetInterfaceAddress(i) == local) return text(i);
    }
    return nullptr;
}

StrPtrLen* Socket::LocalAddressString() {
    if (fLocalAddressString == nullptr)
        fLocalAddressString = FindInterfaceText(SocketUtils::GetInterfaceAddressText);
    AssertAt(fLocalAddressString != nullptr, kAssertNoAddressText);
    return fLocalAddressString;
}

StrPtrLen* Socket::LocalHostNameString() {
    AssertAt(GetLocalAddress() != 0, kAssertUnboundHostName);
    if (fLocalHostNameString == nullptr)
        fLocalHostNameString = FindInterfaceText(SocketUtils::GetInterfaceHostName);
    if (fLocalHostNameString == nullptr) fLocalHostNameString = LocalAddressString();
    AssertAt(fLocalHostNameString != nullptr, kAssertNoHostName);
    return fLocalHostNameString;
}

StrPtrLen* Socket::LocalPortString() {
    if (fPortString.fLen == kPortNotFormatted) {
        snprintf(fPortText, sizeof(fPortText), "%d", int(GetLocalPort()));
        fPortString.fLen = uint32_t(strlen(fPortText));
    }
    return &fPortString;
}

int32_t Socket::TransferFailed() {
    const int32_t error = OSThread::LastErrorCode();
    if (error != EAGAIN) fFlags &= ~kSocketConnected;
    return error;
}

int32_t Socket::Send(const char* data, uint32_t length, uint32_t* outLengthSent) {
    AssertAt(data != nullptr, kAssertSendData);
    // A caller's null pointer is refused before the platform sees it, so that the mistake
    // does not also cost the connection.
    if (data == nullptr) return kErrNotConnected;
    if (!(fFlags & kSocketConnected)) return kErrNotConnected;
    int32_t sent;
    do {
        sent = Platform::SendSocket(fSocket, data, length);
    } while (sent == -1 && OSThread::LastErrorCode() == EINTR);
    if (sent == -1) return TransferFailed();
    // The count is optional, as for SendVector.
    if (outLengthSent != nullptr) *outLengthSent = uint32_t(sent);
    return 0;
}

int32_t Socket::SendVector(const SocketBuffer* buffers, uint32_t count, uint32_t* outLengthSent) {
    AssertAt(buffers != nullptr, kAssertSendVectorBuffers);
    if (buffers == nullptr) return kErrNotConnected;
    if (!(fFlags & kSocketConnected)) return kErrNotConnected;
    uint32_t sent = 0;
    int result;
    do {
        sent = 0;
        result = Platform::SendSocketVector(fSocket, buffers, count, &sent);
    } while (result == -1 && OSThread::LastErrorCode() == EINTR);
    if (result == -1) return TransferFailed();
    if (outLengthSent != nullptr) *outLengthSent = sent;
    return 0;
}

int32_t Socket::Read(void* buffer, uint32_t size, uint32_t* outLengthRead) {
    AssertAt(outLengthRead != nullptr, kAssertReadCount);
    AssertAt(buffer != nullptr, kAssertReadBuffer);
    // Without a count the caller could not tell what it received: nothing is read.
    if (buffer == nullptr || outLengthRead == nullptr) return kErrNotConnected;
    if (!(fFlags & kSocketConnected)) return kErrNotConnected;
    if (size == 0) {
        // The platform answers a receive of no bytes as it answers the peer's close: that
        // would end a healthy connection. Nothing asked for, nothing read.
        *outLengthRead = 0;
        return 0;
    }
    int32_t received;
    do {
        received = Platform::ReceiveSocket(fSocket, buffer, size);
    } while (received == -1 && OSThread::LastErrorCode() == EINTR);
    if (received == -1) return TransferFailed();
    if (received == 0) {
        fFlags &= ~kSocketConnected;  // the peer closed
        return kErrNotConnected;
    }
    *outLengthRead = uint32_t(received);
    return 0;
}
