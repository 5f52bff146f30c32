// The command line of the HTTP server.
#pragma once

#include <cstdint>
#include <string>

#include "CommandLine.h"

struct HttpOptions {
    bool fHelp = false;
    uint16_t fPort = 8080;  // 0 lets the system choose
    NetAddress fBindAddress = NetAddress::IPv4(0x7F000001, 0);
    std::string fRoot;      // empty: the built-in page
    uint32_t fThreads = 0;  // 0: the processor count
    uint32_t fIdleTimeoutSeconds = 30;
    uint32_t fProcesses = 1;  // more: a parent of that many children
    bool fSharePort = false;  // other processes may listen on the port too
    // PEM files; both set: HTTPS (offered only where TLS is built).
    std::string fTLSCertificate;
    std::string fTLSKey;
    // Read from a file, never the command line, where other users could see it.
    std::string fTLSKeyPasswordFile;
};

// Fills options from the arguments after the program name. False with a one-line
// description of the first problem in *error.
bool ParseHttpOptions(int argc, const char* const* argv, HttpOptions* options, std::string* error);

// The usage text, several lines, ending in a newline.
const char* HttpUsage();
