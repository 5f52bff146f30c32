// The command line of the echo program: serving, or driving a service as a load client.
#pragma once

#include <cstdint>
#include <string>

#include "CommandLine.h"

struct EchoOptions {
    enum class Mode { kServe, kLoad, kHelp };

    Mode fMode = Mode::kServe;
    uint16_t fTCPPort = 7007;
    uint16_t fUDPPort = 7007;
    NetAddress fBindAddress = NetAddress::IPv4(0x7F000001, 0);
    uint32_t fThreads = 0;          // 0: the processor count
    uint32_t fDurationSeconds = 0;  // 0: until interrupted (serving only)
    uint32_t fMaxConnections = 4096;
    uint32_t fIdleTimeoutSeconds = 0;  // 0: connections may stay idle
    uint32_t fProcesses = 1;           // more: a parent of that many children
    bool fSharePort = false;           // other processes may listen on the TCP port too
    bool fServeUDP = true;

    // Load client.
    NetAddress fTargetAddress = NetAddress::IPv4(0x7F000001, 0);
    uint32_t fConnections = 8;
    uint32_t fMessageSize = 64;
    uint32_t fWindow = 8;
    uint32_t fDatagramSize = 512;
    uint32_t fIdleConnections = 0;
    bool fJSON = false;
};

// Fills options from the arguments after the program name. False with a one-line
// description of the first problem in *error.
bool ParseEchoOptions(int argc, const char* const* argv, EchoOptions* options, std::string* error);

// The usage text, several lines, ending in a newline.
const char* EchoUsage();
