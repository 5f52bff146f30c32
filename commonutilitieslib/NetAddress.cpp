#include "NetAddress.h"

#include <cstring>

namespace {

constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

bool IsMapped(const uint8_t* bytes) {
    return memcmp(bytes, kMappedPrefix, sizeof(kMappedPrefix)) == 0;
}

}  // namespace

NetAddress NetAddress::IPv4(uint32_t address, uint16_t port) {
    NetAddress result;
    result.fFamily = Family::kIPv4;
    result.fPort = port;
    const uint32_t network = Platform::HostToNetwork32(address);
    memcpy(result.fBytes, &network, 4);
    return result;
}

NetAddress NetAddress::IPv6(const uint8_t* bytes, uint16_t port, uint32_t scopeId) {
    NetAddress result;
    result.fFamily = Family::kIPv6;
    result.fPort = port;
    result.fScopeId = scopeId;
    memcpy(result.fBytes, bytes, 16);
    return result;
}

NetAddress NetAddress::IPv6Any(uint16_t port) {
    const uint8_t any[16] = {};
    return IPv6(any, port);
}

NetAddress NetAddress::IPv6Loopback(uint16_t port) {
    uint8_t loopback[16] = {};
    loopback[15] = 1;
    return IPv6(loopback, port);
}

uint32_t NetAddress::GetIPv4() const {
    if (fFamily != Family::kIPv4) return 0;
    uint32_t network;
    memcpy(&network, fBytes, 4);
    return Platform::NetworkToHost32(network);
}

bool NetAddress::IsIPv4Mapped() const {
    return fFamily == Family::kIPv6 && IsMapped(fBytes);
}

NetAddress NetAddress::Unmapped() const {
    if (!IsIPv4Mapped()) return *this;
    NetAddress result;
    result.fFamily = Family::kIPv4;
    result.fPort = fPort;
    memcpy(result.fBytes, fBytes + 12, 4);
    return result;
}

void NetAddress::ToSocketAddress(Platform::SocketAddressStorage* out) const {
    *out = Platform::SocketAddressStorage{};
    if (fFamily == Family::kIPv4) {
        out->fIPv4.fFamily = Platform::kAddressFamilyInet;
        out->fIPv4.fPort = Platform::HostToNetwork16(fPort);
        memcpy(&out->fIPv4.fAddress, fBytes, 4);
    } else if (fFamily == Family::kIPv6) {
        out->fIPv6.fFamily = Platform::kAddressFamilyInet6;
        out->fIPv6.fPort = Platform::HostToNetwork16(fPort);
        memcpy(out->fIPv6.fAddress, fBytes, 16);
        out->fIPv6.fScopeId = fScopeId;
    }
}

NetAddress NetAddress::FromSocketAddress(const Platform::SocketAddressStorage& address) {
    const uint16_t port = Platform::NetworkToHost16(address.fIPv4.fPort);
    if (address.fIPv4.fFamily == Platform::kAddressFamilyInet)
        return IPv4(Platform::NetworkToHost32(address.fIPv4.fAddress), port);
    if (address.fIPv6.fFamily == Platform::kAddressFamilyInet6)
        return IPv6(address.fIPv6.fAddress, port, address.fIPv6.fScopeId);
    return NetAddress();
}

void NetAddress::UnmapSocketAddress(Platform::SocketAddressStorage* address) {
    // Only a dual-stack socket's IPv4 peers take the longer way.
    if (address->fIPv6.fFamily == Platform::kAddressFamilyInet6 &&
        IsMapped(address->fIPv6.fAddress))
        FromSocketAddress(*address).Unmapped().ToSocketAddress(address);
}
