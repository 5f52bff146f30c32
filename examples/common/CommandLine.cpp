#include "CommandLine.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "OSTypes.h"

bool ParseNumber(const char* text, uint32_t low, uint32_t high, uint32_t* value) {
    if (text == nullptr || *text < '0' || *text > '9') return false;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text, &end, 10);
    if (*end != '\0' || parsed < low || parsed > high) return false;
    *value = uint32_t(parsed);
    return true;
}

bool ParseAddress(const char* text, NetAddress* address) {
    NetAddress parsed;
    if (text == nullptr || NetAddress::Parse(text, uint32_t(std::strlen(text)), &parsed) != 0 ||
        parsed.GetPort() != 0)
        return false;
    *address = parsed;
    return true;
}

std::string AddressText(const NetAddress& address, uint32_t flags) {
    char text[NetAddress::kTextSize];
    address.ToText(text, sizeof(text), flags);
    return text;
}

NetAddress AtPort(NetAddress address, uint16_t port) {
    address.SetPort(port);
    return address;
}

bool ServesIPv4Too(const NetAddress& address) {
    return address == NetAddress::IPv6Any(address.GetPort());
}

std::string DescribeSocketError(int32_t error) {
    switch (error) {
        case kErrAddressInUse:
            return "the port is in use";
        case kErrAddressNotAvailable:
            return "the address is not one of this host's";
        case EMFILE:
            return "too many open files";
        case kErrNoMessageNumber:
            return "every message number of the process is in use";
        case kErrNotSupported:
            return "not supported on this platform";
        default:
            return "error " + std::to_string(error);
    }
}

std::vector<std::string> ArgumentsOf(int argc, const char* const* argv) {
    return std::vector<std::string>(argv + 1, argv + argc);
}

std::vector<std::string> WithOption(std::vector<std::string> arguments, const std::string& name,
                                    const std::string& value) {
    for (size_t i = 0; i < arguments.size();) {
        if (arguments[i] == name)
            arguments.erase(arguments.begin() + i,
                            arguments.begin() + std::min(i + 2, arguments.size()));
        else
            ++i;
    }
    if (!value.empty()) arguments.insert(arguments.end(), {name, value});
    return arguments;
}

bool OptionRead(const char* name, const char* value, bool known, bool valid, std::string* error) {
    if (!known) {
        *error = std::string("unknown option '") + name + "'";
    } else if (value == nullptr) {
        *error = std::string("option ") + name + " needs a value";
    } else if (!valid) {
        *error = std::string("bad value '") + value + "' for " + name;
    }
    return known && value != nullptr && valid;
}
