// What the example programs share on their command lines and in their messages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "NetAddress.h"

// Whole decimal number within [low, high]; false otherwise.
bool ParseNumber(const char* text, uint32_t low, uint32_t high, uint32_t* value);
// An IPv4 or IPv6 address without a port: "127.0.0.1", "::1", "[::1]", "fe80::1%2". No
// names, no short forms; false otherwise. The ports have options of their own.
bool ParseAddress(const char* text, NetAddress* address);
// The outcome of reading one "name value" option: true when it was known, had a value and
// the value was good; otherwise false with the sentence that says which was not so.
bool OptionRead(const char* name, const char* value, bool known, bool valid, std::string* error);
// The address as text, with its port unless the flags say otherwise.
std::string AddressText(const NetAddress& address, uint32_t flags = NetAddress::kWithPort);
// The address with another port.
NetAddress AtPort(NetAddress address, uint16_t port);
// A service bound to :: takes IPv4 clients too, as one bound to 0.0.0.0 would.
bool ServesIPv4Too(const NetAddress& address);
// A sentence for a socket error number of the runtime, e.g. "the port is in use".
std::string DescribeSocketError(int32_t error);

// The arguments after the program name.
std::vector<std::string> ArgumentsOf(int argc, const char* const* argv);
// The arguments with every "name value" pair taken out and, unless value is empty, one
// "name value" added at the end.
std::vector<std::string> WithOption(std::vector<std::string> arguments, const std::string& name,
                                    const std::string& value);
