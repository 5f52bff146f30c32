// Addresses as text, the error numbers of listening and connecting, and a dual-stack datagram
// socket that takes an IPv4 sender.
#include <commonutilities/NetAddress.h>
#include <commonutilities/OSThread.h>
#include <commonutilities/RuntimeHost.h>
#include <commonutilities/TCPListenerSocket.h>
#include <commonutilities/TCPSocket.h>
#include <commonutilities/UDPSocket.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr uint32_t kLoopback = 0x7F000001;  // 127.0.0.1, host byte order

// Turns every connection away: this program only listens.
class ClosedDoor : public TCPListenerSocket {
protected:
    Task* CreateConnectionTask(uint32_t, uint16_t, TCPSocket**) override { return nullptr; }
};

bool Texts() {
    //! [text]
    const char* texts[] = {"127.0.0.1:80", "[::1]:8080", "fe80::1%2", "::FFFF:10.0.0.1",
                           "::1:80",       "1.2.3",      "[::1]"};
    for (const char* text : texts) {
        NetAddress address;
        if (NetAddress::Parse(text, uint32_t(std::strlen(text)), &address) != 0) {
            std::printf("%-16s kErrBadAddress\n", text);
            continue;
        }
        char written[NetAddress::kTextSize];
        address.ToText(written, sizeof(written));
        std::printf("%-16s %s, port %u\n", text, written, unsigned(address.GetPort()));
    }
    //! [text]
    NetAddress bad;
    return NetAddress::Parse("1.2.3", 5, &bad) == kErrBadAddress;
}

bool Errors() {
    //! [errors]
    auto* first = new ClosedDoor;
    if (first->Listen(kLoopback, 0) != 0) return false;
    const uint16_t port = first->GetLocalPort();

    auto* second = new ClosedDoor;
    const int32_t inUse = second->Listen(kLoopback, port);   // kErrAddressInUse
    const int32_t notLocal = second->Listen(0xC0000201, 0);  // 192.0.2.1: kErrAddressNotAvailable
    delete second;  // its Listen failed: it never ran, ours to delete

    first->StopListening();  // it closes its socket and is deleted on a task thread
    OSThread::Sleep(50);
    TCPSocket client(nullptr, 0);  // no task: nobody is signalled
    int32_t refused = client.Connect(kLoopback, port);
    for (int i = 0; i < 2000 && refused == kErrInProgress; ++i) {
        OSThread::Sleep(5);
        refused = client.CheckConnect();
    }
    std::printf("port in use: %d, address not local: %d, connection refused: %d\n", int(inUse),
                int(notLocal), int(refused));
    //! [errors]
    return inUse == kErrAddressInUse && notLocal == kErrAddressNotAvailable &&
           refused == kErrNotConnected;
}

bool DualStack() {
    //! [dual-stack]
    // Blocking sockets (no kSocketNonBlocking) with no task: a plain program's way.
    UDPSocket both(nullptr, 0);
    if (both.Open(Socket::kDatagramType, NetAddress::Family::kIPv6) != 0 ||
        both.SetIPv6Only(false) != 0 || both.Bind(NetAddress::IPv6Any(0)) != 0)
        return false;  // no IPv6 here
    UDPSocket ipv4(nullptr, 0);
    ipv4.Open(Socket::kDatagramType);
    ipv4.SendDatagram(kLoopback, both.GetLocalPort(), "hi", 2);

    char buffer[16];
    uint32_t length = 0;
    NetAddress sender;
    if (both.ReceiveDatagram(&sender, buffer, sizeof(buffer), &length) != 0) return false;
    char text[NetAddress::kTextSize];
    sender.ToText(text, sizeof(text), NetAddress::kWithPort | NetAddress::kMappedAsIPv4);
    std::printf("dual-stack socket heard from %s (mapped: %s)\n", text,
                sender.IsIPv4Mapped() ? "yes" : "no");
    //! [dual-stack]
    return true;
}

bool Batches() {
    //! [batches]
    UDPSocket receiver(nullptr, Socket::kSocketNonBlocking), sender(nullptr, 0);
    if (receiver.Open(Socket::kDatagramType) != 0 || receiver.Bind(kLoopback, 0) != 0 ||
        sender.Open(Socket::kDatagramType) != 0)
        return false;
    const NetAddress to = NetAddress::IPv4(kLoopback, receiver.GetLocalPort());
    char one[] = "one", none[] = "", three[] = "three";
    UDPSocket::Datagram out[3] = {{.fData = one, .fLength = 3, .fPeer = to},
                                  {.fData = none, .fLength = 0, .fPeer = to},
                                  {.fData = three, .fLength = 5, .fPeer = to}};
    uint32_t sent = 0;
    if (sender.SendDatagrams(out, 3, &sent) != 0 || sent != 3) return false;  // the rest: ours

    char buffers[4][64];
    UDPSocket::Datagram in[4];
    for (int i = 0; i < 4; ++i)
        in[i] = {.fData = buffers[i], .fCapacity = sizeof(buffers[i])};
    uint32_t received = 0;
    for (int tries = 0; tries < 2000 && received < 3; ++tries) {
        uint32_t got = 0;
        const int32_t error = receiver.ReceiveDatagrams(in + received, 4 - received, &got);
        if (error == EAGAIN)
            OSThread::Sleep(5);  // a task would arm and return instead
        else if (error != 0)
            return false;
        received += got;
    }
    for (uint32_t i = 0; i < received; ++i)  // an empty datagram has length 0; fError is per entry
        std::printf("datagram %u: %u bytes, error %d\n", unsigned(i), unsigned(in[i].fLength),
                    int(in[i].fError));
    //! [batches]
    return received == 3 && in[1].fLength == 0 && std::memcmp(in[2].fData, "three", 5) == 0;
}

}  // namespace

int main() {
    std::string error;
    if (!RuntimeHost::Start({.fTaskThreads = 1}, &error)) {
        std::fprintf(stderr, "sockets: %s\n", error.c_str());
        return 1;
    }
    const bool texts = Texts();
    const bool errors = Errors();
    const bool dualStack = DualStack();
    const bool batches = Batches();
    RuntimeHost::Stop();
    return texts && errors && dualStack && batches ? 0 : 1;
}
