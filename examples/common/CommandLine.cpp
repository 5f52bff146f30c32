#include "CommandLine.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "OSTypes.h"

bool ParseNumber(const char* text, uint32_t low, uint32_t high, uint32_t* value) {
    if (text == nullptr || *text < '0' || *text > '9') return false;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text, &end, 10);
    if (*end != '\0' || parsed < low || parsed > high) return false;
    *value = uint32_t(parsed);
    return true;
}

bool ParseAddress(const char* text, uint32_t* address) {
    // No names, no short forms.
    unsigned parts[4];
    char tail;
    if (text == nullptr || std::sscanf(text, "%3u.%3u.%3u.%3u%c", &parts[0], &parts[1], &parts[2],
                                       &parts[3], &tail) != 4)
        return false;
    uint32_t value = 0;
    for (unsigned part : parts) {
        if (part > 255) return false;
        value = (value << 8) | part;
    }
    *address = value;
    return true;
}

std::string AddressText(uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof(text), "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF,
                  (address >> 8) & 0xFF, address & 0xFF);
    return text;
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
