/// @file
/// The host's interface table, its IPv4 addresses and beside them its IPv6 ones, and small
/// address helpers. IPv4 addresses are in host byte order unless an operation says otherwise.
#pragma once

#include <cstdint>
#include <vector>

#include "NetAddress.h"
#include "OSTypes.h"
#include "StrPtrLen.h"
#include "platform/Platform.h"

class OSMutex;
/// Serialises AddressToString.
extern OSMutex sNtoaMutex;

/// One IPv4 address of the host's interface table.
struct InterfaceRecord {
    uint32_t fAddress;       ///< Host byte order.
    StrPtrLen fAddressText;  ///< Dotted decimal, in a NUL-terminated buffer the table owns.
    StrPtrLen fHostName;     ///< The name found for the address, or a copy of the dotted text.
};

/// One IPv6 address of the host's interface table.
struct InterfaceIPv6Record {
    NetAddress fAddress;       ///< Port 0; a link-local address scoped to its interface.
    uint32_t fInterfaceIndex;  ///< The index of the interface that has the address.
    StrPtrLen fAddressText;    ///< As NetAddress writes it, in a buffer the table owns.
};

/// The interface table and the address helpers, all static.
class SocketUtils {
public:
    /// Fills the table once at start-up, before any socket asks for its local address text;
    /// with `lookUpNames`, the host name of each address is looked up. The records keep the
    /// platform's order, except that a loopback record found first changes places with the
    /// second. Tables are never freed: sockets keep pointers into them.
    static void LoadInterfaces(Bool16 lookUpNames);

    static uint32_t GetInterfaceCount() { return sInterfaceCount; }  ///< IPv4 records.
    // Past the end of the table (reported by assertion): 0 or null.

    /// The record's address in host byte order.
    static uint32_t GetInterfaceAddress(uint32_t index);
    /// The record's dotted text.
    static StrPtrLen* GetInterfaceAddressText(uint32_t index);
    /// The record's host name, or its dotted text when none was looked up or found.
    static StrPtrLen* GetInterfaceHostName(uint32_t index);
    /// The IPv6 addresses, loaded with the IPv4 ones in the platform's order. A failed list
    /// leaves the one loaded before.
    static uint32_t GetIPv6AddressCount() { return sIPv6Count; }
    /// An IPv6 record; past the end: null.
    static const InterfaceIPv6Record* GetIPv6Address(uint32_t index);

    /// In 224.0.0.0/4 (host byte order).
    static Bool16 IsMulticastAddress(uint32_t address);
    /// An address of the interface table (host byte order).
    static Bool16 IsLocalAddress(uint32_t address);

    /// Writes the dotted text of the four address bytes (network byte order) into the
    /// caller's buffer of at least 16 bytes at out->fPtr, and sets out->fLen.
    static void AddressToString(const uint32_t* networkAddress, StrPtrLen* out);
    /// The address in host byte order; 0xFFFFFFFF for text that is not an address.
    static uint32_t StringToAddress(const char* text);

    /// Where the interface list and host names come from: the platform by default.
    struct InterfaceSource {
        /// The IPv4 addresses in network byte order, and how the listing went.
        Platform::InterfaceListStatus (*fListAddresses)(std::vector<uint32_t>* addresses);
        /// The host name of an address in network byte order; false when none is found.
        bool (*fLookUpHostName)(uint32_t networkAddress, char* name, uint32_t size);
        /// The IPv6 addresses. None: no IPv6 addresses.
        Platform::InterfaceListStatus (*fListIPv6Addresses)(
            std::vector<Platform::InterfaceIPv6Address>* addresses) = nullptr;
    };
    /// Test seam: tests substitute made-up lists so the table logic runs without the
    /// machine's interfaces or any name service. Returns the previous source. For tests only.
    static InterfaceSource SetInterfaceSource(InterfaceSource source);

private:
    static const InterfaceRecord* RecordAt(uint32_t index, int tableLine, int indexLine);

    static void LoadIPv6Addresses();

    static uint32_t sInterfaceCount;
    static InterfaceRecord* sInterfaces;
    static uint32_t sIPv6Count;
    static InterfaceIPv6Record* sIPv6Records;
};
