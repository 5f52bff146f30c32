// Lists the host's IPv4 and IPv6 addresses as the runtime loaded them at start-up.
#include <commonutilities/RuntimeHost.h>
#include <commonutilities/SocketUtils.h>

#include <cstdio>
#include <string>

int main() {
    std::string error;
    // Start loads the table once (without name look-ups), after the socket library.
    if (!RuntimeHost::Start({.fTaskThreads = 0, .fEventLoop = false}, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    //! [list]
    bool loopback = false;
    for (uint32_t i = 0; i < SocketUtils::GetInterfaceCount(); ++i) {
        const uint32_t address = SocketUtils::GetInterfaceAddress(i);  // host byte order
        std::printf("IPv4 %s\n", SocketUtils::GetInterfaceAddressText(i)->fPtr);
        loopback = loopback || address == 0x7F000001;
    }
    for (uint32_t i = 0; i < SocketUtils::GetIPv6AddressCount(); ++i) {
        const InterfaceIPv6Record* record = SocketUtils::GetIPv6Address(i);
        std::printf("IPv6 %s (interface %u)\n", record->fAddressText.fPtr, record->fInterfaceIndex);
    }
    //! [list]

    //! [helpers]
    const uint32_t group = SocketUtils::StringToAddress("239.1.2.3");  // host byte order
    const bool multicast = SocketUtils::IsMulticastAddress(group);
    const bool local = SocketUtils::IsLocalAddress(0x7F000001);  // 127.0.0.1 is listed
    //! [helpers]
    RuntimeHost::Stop();
    return loopback && multicast && local ? 0 : 1;
}
