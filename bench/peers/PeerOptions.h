// The command line and start-up line shared by the peer echo servers, so that
// compare.sh starts and reads them exactly as it does the runtime's echo-service.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

struct PeerOptions {
    unsigned fTCPPort = 7007;  // 0: the system chooses
    unsigned fUDPPort = 7007;
    unsigned fThreads = 1;
};

inline const char kPeerAddress[] = "127.0.0.1";
// Bytes read from a connection, or a datagram, at a time: the runtime's service uses the same.
constexpr size_t kPeerBufferSize = 16 * 1024;

// Parses --tcp-port, --udp-port and --threads; prints the usage and exits on anything else.
inline PeerOptions ParsePeerOptions(const char* program, int argc, char** argv) {
    PeerOptions options;
    for (int i = 1; i < argc; ++i) {
        unsigned* field = nullptr;
        unsigned low = 0;
        unsigned high = 65535;
        if (std::strcmp(argv[i], "--tcp-port") == 0) {
            field = &options.fTCPPort;
        } else if (std::strcmp(argv[i], "--udp-port") == 0) {
            field = &options.fUDPPort;
        } else if (std::strcmp(argv[i], "--threads") == 0) {
            field = &options.fThreads;
            low = 1;
            high = 64;
        }
        char* end = nullptr;
        const unsigned long value = i + 1 < argc ? std::strtoul(argv[i + 1], &end, 10) : 0;
        if (field == nullptr || end == argv[i + 1] || *end != '\0' || value < low || value > high) {
            std::fprintf(stderr,
                         "usage: %s [--tcp-port PORT] [--udp-port PORT] [--threads N]\n"
                         "  ports default to 7007 (0: the system chooses); threads to 1\n",
                         program);
            std::exit(2);
        }
        *field = unsigned(value);
        ++i;
    }
    return options;
}

// The same line as echo-service prints, so one parser reads the ports of every server.
inline void PrintServingLine(const char* program, unsigned tcpPort, unsigned udpPort,
                             unsigned threads) {
    std::printf("%s: serving echo on tcp %s:%u and udp %s:%u with %u threads; Ctrl-C stops it\n",
                program, kPeerAddress, tcpPort, kPeerAddress, udpPort, threads);
    std::fflush(stdout);
}
