/// @file
/// An IPv4 or IPv6 address with its port, and for IPv6 its scope (the index of the interface
/// a link-local address belongs to). Read from and written as text by the runtime itself, so
/// that every platform takes and gives the same forms:
///
///     127.0.0.1   127.0.0.1:80   ::1   [::1]   [::1]:8080   fe80::1%2   [fe80::1%2]:5000
///
/// IPv6 text is written in its canonical form: lower case, no leading zeros, the longest run
/// of two or more zero groups (the first of equal runs) as "::", and an IPv4-mapped address
/// as \::ffff:1.2.3.4, or as plain IPv4 text when asked.
#pragma once

#include <cstdint>

#include "OSTypes.h"
#include "StrPtrLen.h"
#include "platform/Platform.h"

/// An address with its port, a small value type: copy it freely.
class NetAddress {
public:
    /// The address's kind.
    enum class Family : uint8_t {
        kNone,  ///< No address: no socket takes it.
        kIPv4,  ///< Four bytes.
        kIPv6   ///< Sixteen bytes and a scope.
    };
    /// Whether Parse demands a port in the text.
    enum class PortRule : uint8_t {
        kOptional,  ///< Text without a port gives port 0.
        kRequired   ///< Text without a port is refused.
    };

    /// Room for the longest text, 58 bytes and a NUL: "[fe80:ffff:...:ffff%4294967295]:65535".
    static constexpr uint32_t kTextSize = 64;
    // ToText flags.
    static constexpr uint32_t kWithPort = 0x1;      ///< "127.0.0.1:80", "[::1]:80"
    static constexpr uint32_t kMappedAsIPv4 = 0x2;  ///< \::ffff:1.2.3.4 written as 1.2.3.4

    NetAddress() = default;  ///< Of no family: no socket takes it.
    /// An IPv4 address; address and port in host byte order.
    static NetAddress IPv4(uint32_t address, uint16_t port);
    /// An IPv6 address: the 16 address bytes in network order, the port in host order.
    static NetAddress IPv6(const uint8_t* bytes, uint16_t port, uint32_t scopeId = 0);
    static NetAddress IPv6Any(uint16_t port);       ///< `::` with the port.
    static NetAddress IPv6Loopback(uint16_t port);  ///< `::1` with the port.

    /// Reads the text of an address in any of the forms above: exactly `length` bytes (no NUL
    /// needed, none read beyond). 0, or kErrBadAddress with *out left alone. Without a port
    /// in the text the port is 0; the rule may demand one. Bare IPv6 text takes no port: it
    /// needs the brackets.
    static int32_t Parse(const char* text, uint32_t length, NetAddress* out,
                         PortRule rule = PortRule::kOptional);
    /// The same for a counted string; a null one is empty text.
    static int32_t Parse(const StrPtrLen& text, NetAddress* out,
                         PortRule rule = PortRule::kOptional) {
        return Parse(text.fPtr, text.fPtr == nullptr ? 0 : text.fLen, out, rule);
    }

    /// Writes the text and a NUL into the buffer: the text's length, or 0 (and an empty
    /// text where there is room for the NUL) when it does not fit or the address has no
    /// family. kTextSize bytes always suffice.
    uint32_t ToText(char* buffer, uint32_t size, uint32_t flags = kWithPort) const;

    Family GetFamily() const { return fFamily; }              ///< The address's kind.
    bool IsIPv6() const { return fFamily == Family::kIPv6; }  ///< Of the IPv6 family.
    uint16_t GetPort() const { return fPort; }                ///< Host byte order.
    void SetPort(uint16_t port) { fPort = port; }             ///< Host byte order.
    /// An IPv4 address in host byte order; 0 for any other.
    uint32_t GetIPv4() const;
    /// The 4 or 16 address bytes in network order.
    const uint8_t* GetBytes() const { return fBytes; }
    /// The interface index a link-local IPv6 address belongs to; 0 for none.
    uint32_t GetScopeId() const { return fScopeId; }
    /// \::ffff:a.b.c.d, as an IPv6 socket that also takes IPv4 reports an IPv4 peer.
    bool IsIPv4Mapped() const;
    /// The IPv4 address an IPv4-mapped one stands for; any other as it is.
    NetAddress Unmapped() const;

    /// Same family, bytes, port and scope.
    bool operator==(const NetAddress& other) const = default;

    /// The platform's socket address; an address of no family gives an empty one.
    void ToSocketAddress(Platform::SocketAddressStorage* out) const;
    /// From the platform's socket address. A family the runtime does not know reads as an
    /// address of no family.
    static NetAddress FromSocketAddress(const Platform::SocketAddressStorage& address);
    /// Turns an IPv4-mapped IPv6 socket address into the IPv4 one it stands for.
    static void UnmapSocketAddress(Platform::SocketAddressStorage* address);

private:
    uint8_t fBytes[16] = {};  // network order; IPv4 uses the first four
    uint32_t fScopeId = 0;
    uint16_t fPort = 0;
    Family fFamily = Family::kNone;
};
