#include "SocketUtils.h"

#include <cstring>

#include "OSAssert.h"
#include "OSMutex.h"

namespace {

constexpr int kAssertListFailed = 188;
constexpr int kAssertPartialRecord = 192;
constexpr int kAssertAddressTable = 102;
constexpr int kAssertAddressIndex = 103;
constexpr int kAssertTextTable = 109;
constexpr int kAssertTextIndex = 110;
constexpr int kAssertNameTable = 116;
constexpr int kAssertNameIndex = 117;

constexpr char kLoopbackText[] = "127.0.0.1";
constexpr uint32_t kHostNameSize = 1025;

SocketUtils::InterfaceSource sSource = {Platform::ListInterfaceAddresses, Platform::LookUpHostName,
                                        Platform::ListInterfaceIPv6Addresses};

// Every table ever loaded, newest first. A reload leaves older tables in place (sockets
// may hold pointers into them) and reachable.
struct LoadedTable {
    LoadedTable* fOlder;
    InterfaceRecord* fRecords;
    InterfaceIPv6Record* fIPv6Records;
};
LoadedTable* sLoadedTables = nullptr;

// A copy of the text in a buffer of its length plus 2 bytes, as the table keeps them.
StrPtrLen CopyOf(const char* text) {
    const uint32_t length = uint32_t(strlen(text));
    char* copy = new char[length + 2];
    memcpy(copy, text, length + 1);
    copy[length + 1] = '\0';
    return StrPtrLen(copy, length);
}

void FillRecord(InterfaceRecord* record, uint32_t networkAddress, bool lookUpName) {
    record->fAddress = Platform::NetworkToHost32(networkAddress);
    char text[16];
    Platform::AddressToDottedText(networkAddress, text);
    record->fAddressText = CopyOf(text);
    char name[kHostNameSize];
    const bool named = lookUpName && sSource.fLookUpHostName(networkAddress, name, kHostNameSize);
    record->fHostName = CopyOf(named ? name : text);
}

// fe80::/10: meaningful only with the interface it belongs to.
bool IsLinkLocal(const uint8_t* bytes) {
    return bytes[0] == 0xFE && (bytes[1] & 0xC0) == 0x80;
}

}  // namespace

uint32_t SocketUtils::sInterfaceCount = 0;
InterfaceRecord* SocketUtils::sInterfaces = nullptr;
uint32_t SocketUtils::sIPv6Count = 0;
InterfaceIPv6Record* SocketUtils::sIPv6Records = nullptr;

SocketUtils::InterfaceSource SocketUtils::SetInterfaceSource(InterfaceSource source) {
    const InterfaceSource previous = sSource;
    sSource = source;
    return previous;
}

void SocketUtils::LoadIPv6Addresses() {
    std::vector<Platform::InterfaceIPv6Address> addresses;
    if (sSource.fListIPv6Addresses != nullptr &&
        sSource.fListIPv6Addresses(&addresses) != Platform::InterfaceListStatus::kListed)
        return;
    if (addresses.empty()) {  // nothing to keep: an empty table needs no records
        sIPv6Records = nullptr;
        sIPv6Count = 0;
        return;
    }
    auto* records = new InterfaceIPv6Record[addresses.size()]();
    for (size_t i = 0; i < addresses.size(); ++i) {
        const Platform::InterfaceIPv6Address& listed = addresses[i];
        InterfaceIPv6Record& record = records[i];
        record.fInterfaceIndex = listed.fInterfaceIndex;
        record.fAddress = NetAddress::IPv6(
            listed.fAddress, 0, IsLinkLocal(listed.fAddress) ? listed.fInterfaceIndex : 0);
        char text[NetAddress::kTextSize];
        record.fAddress.ToText(text, sizeof(text), 0);
        record.fAddressText = CopyOf(text);
    }
    sLoadedTables = new LoadedTable{sLoadedTables, nullptr, records};
    sIPv6Records = records;
    sIPv6Count = uint32_t(addresses.size());
}

const InterfaceIPv6Record* SocketUtils::GetIPv6Address(uint32_t index) {
    return index < sIPv6Count ? &sIPv6Records[index] : nullptr;
}

void SocketUtils::LoadInterfaces(Bool16 lookUpNames) {
    LoadIPv6Addresses();
    std::vector<uint32_t> addresses;
    switch (sSource.fListAddresses(&addresses)) {
        case Platform::InterfaceListStatus::kNoProbeSocket:
            return;
        case Platform::InterfaceListStatus::kListFailed:
            AssertAt(false, kAssertListFailed);
            return;
        case Platform::InterfaceListStatus::kPartialRecord:
            AssertAt(false, kAssertPartialRecord);
            break;
        case Platform::InterfaceListStatus::kListed:
            break;
    }
    const uint32_t count = uint32_t(addresses.size());
    auto* records = new InterfaceRecord[count]();
    for (uint32_t i = 0; i < count; ++i)
        FillRecord(&records[i], addresses[i], lookUpNames);

    // A loopback address reported first makes way for the second record.
    if (count >= 2 && strcmp(records[0].fAddressText.fPtr, kLoopbackText) == 0) {
        const InterfaceRecord first = records[0];
        records[0] = records[1];
        records[1] = first;
    }
    sLoadedTables = new LoadedTable{sLoadedTables, records, nullptr};
    sInterfaces = records;
    sInterfaceCount = count;
}

const InterfaceRecord* SocketUtils::RecordAt(uint32_t index, int tableLine, int indexLine) {
    AssertAt(sInterfaces != nullptr, tableLine);
    AssertAt(index < sInterfaceCount, indexLine);
    if (sInterfaces == nullptr || index >= sInterfaceCount) return nullptr;
    return &sInterfaces[index];
}

uint32_t SocketUtils::GetInterfaceAddress(uint32_t index) {
    const InterfaceRecord* record = RecordAt(index, kAssertAddressTable, kAssertAddressIndex);
    return record != nullptr ? record->fAddress : 0;
}

StrPtrLen* SocketUtils::GetInterfaceAddressText(uint32_t index) {
    const InterfaceRecord* record = RecordAt(index, kAssertTextTable, kAssertTextIndex);
    return record != nullptr ? const_cast<StrPtrLen*>(&record->fAddressText) : nullptr;
}

StrPtrLen* SocketUtils::GetInterfaceHostName(uint32_t index) {
    const InterfaceRecord* record = RecordAt(index, kAssertNameTable, kAssertNameIndex);
    return record != nullptr ? const_cast<StrPtrLen*>(&record->fHostName) : nullptr;
}

Bool16 SocketUtils::IsMulticastAddress(uint32_t address) {
    return ((address >> 8) & 0xF00000) == 0xE00000;
}

Bool16 SocketUtils::IsLocalAddress(uint32_t address) {
    for (uint32_t i = 0; i < sInterfaceCount; ++i) {
        if (sInterfaces[i].fAddress == address) return 1;
    }
    return 0;
}

void SocketUtils::AddressToString(const uint32_t* networkAddress, StrPtrLen* out) {
    OSMutexLocker locker(&sNtoaMutex);
    Platform::AddressToDottedText(*networkAddress, out->fPtr);
    out->fLen = uint32_t(strlen(out->fPtr));
}

uint32_t SocketUtils::StringToAddress(const char* text) {
    return Platform::NetworkToHost32(Platform::DottedTextToAddress(text));
}
