// Address text: whatever is read is written in a form that reads back as the same address,
// in each of the writer's forms, and nothing past the text is ever read (the text lives in
// a buffer of exactly its length, so AddressSanitizer sees any such read).
#include <cstring>
#include <memory>
#include <string>

#include "FuzzInput.h"
#include "FuzzSupport.h"
#include "NetAddress.h"

namespace {

// Arbitrary bytes rarely make an address: mostly letters that addresses are made of.
std::string Narrow(std::string bytes) {
    static const char kLetters[] = "0123456789abcdefABCDEF::::....[]%%x";
    for (char& c : bytes)
        c = kLetters[uint8_t(c) % (sizeof(kLetters) - 1)];
    return bytes;
}

bool ParseExactly(const std::string& text, NetAddress* address, NetAddress::PortRule rule) {
    std::unique_ptr<char[]> bytes(new char[text.size()]);
    memcpy(bytes.get(), text.data(), text.size());
    const int32_t error = NetAddress::Parse(bytes.get(), uint32_t(text.size()), address, rule);
    FUZZ_CHECK(error == 0 || error == kErrBadAddress);
    return error == 0;
}

std::string Written(const NetAddress& address, uint32_t flags) {
    char text[NetAddress::kTextSize];
    const uint32_t length = address.ToText(text, sizeof(text), flags);
    FUZZ_CHECK(length > 0 && length < sizeof(text) && text[length] == '\0');
    return std::string(text, length);
}

void Check(const std::string& text) {
    NetAddress address;
    if (!ParseExactly(text, &address, NetAddress::PortRule::kOptional)) return;
    NetAddress again;
    FUZZ_CHECK(ParseExactly(Written(address, NetAddress::kWithPort), &again,
                            NetAddress::PortRule::kRequired));
    FUZZ_CHECK(again == address);
    const uint32_t asIPv4 = NetAddress::kWithPort | NetAddress::kMappedAsIPv4;
    FUZZ_CHECK(ParseExactly(Written(address, asIPv4), &again, NetAddress::PortRule::kRequired));
    FUZZ_CHECK(again == address.Unmapped());
    NetAddress withoutPort = address;
    withoutPort.SetPort(0);
    FUZZ_CHECK(ParseExactly(Written(address, 0), &again, NetAddress::PortRule::kOptional));
    FUZZ_CHECK(again == withoutPort);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    Check(input.Bytes(64));
    Check(Narrow(input.Bytes(64)));
    return 0;
}
