// What the example programs share on their command lines and in their messages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Whole decimal number within [low, high]; false otherwise.
bool ParseNumber(const char* text, uint32_t low, uint32_t high, uint32_t* value);
// Four dotted decimal parts and nothing else (host byte order); false otherwise.
bool ParseAddress(const char* text, uint32_t* address);
// Dotted-decimal text of an address in host byte order.
std::string AddressText(uint32_t address);
// A sentence for a socket error number of the runtime, e.g. "the port is in use".
std::string DescribeSocketError(int32_t error);

// The arguments after the program name.
std::vector<std::string> ArgumentsOf(int argc, const char* const* argv);
// The arguments with every "name value" pair taken out and, unless value is empty, one
// "name value" added at the end.
std::vector<std::string> WithOption(std::vector<std::string> arguments, const std::string& name,
                                    const std::string& value);
