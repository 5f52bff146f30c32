#include "EchoOptions.h"

#include <cstring>

#include "ChildProcesses.h"
#include "LoadClient.h"

namespace {

// Each armed socket holds a message number; the event loop of each process has 7169.
constexpr uint32_t kMostConnections = 7000;
constexpr uint32_t kMostProcesses = ChildProcesses::kMostProcesses;
constexpr uint32_t kMostConnectionsInAll = kMostConnections * kMostProcesses;
constexpr uint32_t kMostThreads = 256;
constexpr uint32_t kMostMessageSize = 1u << 20;
constexpr uint32_t kMostDatagramSize = 65507;
constexpr uint32_t kMostWindow = 1024;
constexpr uint32_t kMostSeconds = 7 * 24 * 3600;

const char kUsage[] =
    "usage: echo-service [options]              serve the Echo Protocol (RFC 862)\n"
    "       echo-service --load [options]       drive a service as a load client\n"
    "options:\n"
    "  --tcp-port PORT        TCP port (default 7007; 0 lets the system choose)\n"
    "  --udp-port PORT        UDP port (default 7007; 0 lets the system choose)\n"
    "  --bind ADDRESS         local address to serve on (default 127.0.0.1; :: serves\n"
    "                         IPv6 and IPv4 clients)\n"
    "  --threads N            task threads (default: the processor count)\n"
    "  --duration SECONDS     stop after this long (default: serve until Ctrl-C or\n"
    "                         SIGTERM; the load client runs 10 seconds)\n"
    "  --max-connections N    connections served at once (default 4096)\n"
    "  --idle-timeout SECONDS close a connection whose peer sent nothing for this long\n"
    "                         (default: never)\n"
    "  --processes N          run as N processes (1 to 64; default 1): serving, all on one\n"
    "                         TCP port, UDP in the first; as load client, sharing out the\n"
    "                         connections and the window (Linux only)\n"
    "  --share-port           let other processes listen on the TCP port too (Linux only)\n"
    "  --no-udp               serve TCP only\n"
    "load client:\n"
    "  --target ADDRESS       loopback address of the service (default 127.0.0.1; ::1\n"
    "                         for IPv6)\n"
    "  --connections C        TCP connections, one message in flight each (default 8;\n"
    "                         0 for none)\n"
    "  --message-size M       bytes per TCP message (default 64)\n"
    "  --window W             UDP datagrams in flight (default 8; 0 for none)\n"
    "  --datagram-size D      bytes per datagram (default 512)\n"
    "  --idle-connections N   also hold N connections open without sending\n"
    "  --json                 print the summary as JSON\n"
    "  --help                 this text\n";

struct NumberOption {
    const char* fName;
    uint32_t EchoOptions::*fField;
    uint32_t fLow;
    uint32_t fHigh;
};

const NumberOption kNumberOptions[] = {
    {"--threads", &EchoOptions::fThreads, 1, kMostThreads},
    {"--duration", &EchoOptions::fDurationSeconds, 1, kMostSeconds},
    {"--max-connections", &EchoOptions::fMaxConnections, 1, kMostConnections},
    {"--idle-timeout", &EchoOptions::fIdleTimeoutSeconds, 1, kMostSeconds},
    {"--processes", &EchoOptions::fProcesses, 1, kMostProcesses},
    {"--connections", &EchoOptions::fConnections, 0, kMostConnectionsInAll},
    {"--message-size", &EchoOptions::fMessageSize, 1, kMostMessageSize},
    {"--window", &EchoOptions::fWindow, 0, kMostWindow},
    {"--datagram-size", &EchoOptions::fDatagramSize, 16, kMostDatagramSize},
    {"--idle-connections", &EchoOptions::fIdleConnections, 0, kMostConnectionsInAll},
};

// Options without a value.
struct FlagOption {
    const char* fName;
    bool EchoOptions::*fField;
    bool fValue;
};

const FlagOption kFlagOptions[] = {
    {"--json", &EchoOptions::fJSON, true},
    {"--share-port", &EchoOptions::fSharePort, true},
    {"--no-udp", &EchoOptions::fServeUDP, false},
};

}  // namespace

const char* EchoUsage() {
    return kUsage;
}

bool ParseEchoOptions(int argc, const char* const* argv, EchoOptions* options, std::string* error) {
    bool durationGiven = false;
    for (int i = 0; i < argc; ++i) {
        const char* name = argv[i];
        if (std::strcmp(name, "--help") == 0 || std::strcmp(name, "-h") == 0) {
            options->fMode = EchoOptions::Mode::kHelp;
            return true;
        }
        if (std::strcmp(name, "--load") == 0) {
            options->fMode = EchoOptions::Mode::kLoad;
            continue;
        }
        const FlagOption* flag = nullptr;
        for (const FlagOption& option : kFlagOptions)
            if (std::strcmp(name, option.fName) == 0) flag = &option;
        if (flag != nullptr) {
            options->*flag->fField = flag->fValue;
            continue;
        }
        // Every other option takes a value.
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool known = false;
        bool valid = false;
        uint32_t number = 0;
        if (std::strcmp(name, "--tcp-port") == 0 || std::strcmp(name, "--udp-port") == 0) {
            known = true;
            valid = ParseNumber(value, 0, 65535, &number);
            if (valid) (name[2] == 't' ? options->fTCPPort : options->fUDPPort) = uint16_t(number);
        } else if (std::strcmp(name, "--bind") == 0 || std::strcmp(name, "--target") == 0) {
            known = true;
            valid =
                value != nullptr && ParseAddress(value, name[2] == 'b' ? &options->fBindAddress
                                                                       : &options->fTargetAddress);
        } else {
            for (const NumberOption& option : kNumberOptions) {
                if (std::strcmp(name, option.fName) != 0) continue;
                known = true;
                valid = ParseNumber(value, option.fLow, option.fHigh, &number);
                if (valid) options->*option.fField = number;
                if (valid && option.fField == &EchoOptions::fDurationSeconds) durationGiven = true;
            }
        }
        if (!OptionRead(name, value, known, valid, error)) return false;
        ++i;
    }
    if (options->fMode == EchoOptions::Mode::kLoad) {
        if (!IsLoadTarget(options->fTargetAddress, error)) return false;
        if (options->fConnections > 0 && options->fTCPPort == 0) {
            *error = "the load client needs the service's TCP port (--tcp-port)";
            return false;
        }
        if (options->fWindow > 0 && options->fUDPPort == 0) {
            *error = "the load client needs the service's UDP port (--udp-port)";
            return false;
        }
        if (options->fConnections + options->fIdleConnections >
            kMostConnections * options->fProcesses) {
            *error = "too many connections: at most " + std::to_string(kMostConnections) +
                     " per process";
            return false;
        }
        if (options->fConnections + options->fWindow + options->fIdleConnections == 0) {
            *error = "nothing to do: no connections, no datagram window, no idle connections";
            return false;
        }
        if (!durationGiven) options->fDurationSeconds = 10;
    }
    return true;
}
