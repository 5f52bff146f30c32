// A light load generator for echo servers: one thread, one epoll loop. Each of C TCP
// connections keeps one M-byte message in flight, or W numbered datagrams stay in flight
// over UDP; every echoed byte is checked. With --churn each connection is closed after its
// echo and another made in its place, and a round trip is a whole connection: connect, one
// echo, close. It takes little CPU of its own, so whatever the server it drives, the server
// is what the figures measure.
//
//   epoll-load --tcp-port P --udp-port P [--connections C] [--message-size M] [--churn]
//              [--window W] [--datagram-size D] [--duration S] [--json]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

struct Options {
    unsigned fTCPPort = 7007;
    unsigned fUDPPort = 7007;
    unsigned fConnections = 64;
    unsigned fMessageSize = 64;
    unsigned fWindow = 0;
    unsigned fDatagramSize = 64;
    double fDuration = 3;
    bool fJson = false;
    bool fChurn = false;
};

constexpr int64_t kDatagramTimeoutNs = 200000000;  // an echo later than this is lost

int64_t Now() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Latencies in microseconds; anything above the last bucket counts there.
class Histogram {
public:
    void Add(int64_t nanoseconds) {
        // A reply can be taken after a send stamped later than the batch's clock reading.
        const int64_t us = nanoseconds > 0 ? nanoseconds / 1000 : 0;
        ++fCounts[us < int64_t(kBuckets) - 1 ? size_t(us) : kBuckets - 1];
        ++fTotal;
    }
    uint64_t Total() const { return fTotal; }
    unsigned Percentile(double fraction) const {
        uint64_t seen = 0;
        const uint64_t wanted = uint64_t(fraction * double(fTotal));
        for (size_t i = 0; i < kBuckets; ++i) {
            seen += fCounts[i];
            if (seen > wanted) return unsigned(i);
        }
        return kBuckets - 1;
    }

private:
    static constexpr size_t kBuckets = 100000;
    std::vector<uint64_t> fCounts = std::vector<uint64_t>(kBuckets);
    uint64_t fTotal = 0;
};

// A message's bytes depend on its connection and number, so a stale or foreign echo fails.
void Fill(uint64_t seed, char* data, size_t length) {
    uint32_t state = uint32_t(seed * 2654435761u) ^ uint32_t(seed >> 32);
    for (size_t i = 0; i < length; ++i) {
        state = state * 1103515245u + 12345u;
        data[i] = char(state >> 24);
    }
}

sockaddr_in Loopback(unsigned port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

struct Connection {
    int fSocket = -1;
    uint64_t fNumber = 0;  // messages sent on this connection
    int64_t fSentAt = 0;
    int64_t fOpenedAt = 0;  // when its connect began
    size_t fReceived = 0;
    std::vector<char> fExpected, fBuffer;
};

class Load {
public:
    explicit Load(const Options& options) : fOptions(options) {}

    bool Start() {
        fEpoll = epoll_create1(EPOLL_CLOEXEC);
        fConnections.resize(fOptions.fConnections);
        for (size_t i = 0; i < fConnections.size(); ++i) {
            if (!Connect(fConnections[i], i)) return false;
        }
        if (fOptions.fWindow > 0 && !StartDatagrams()) return false;
        return true;
    }

    void Run() {
        fStart = Now();
        const int64_t end = fStart + int64_t(fOptions.fDuration * 1e9);
        for (Connection& connection : fConnections)
            SendMessage(connection);
        for (unsigned i = 0; i < fOptions.fWindow; ++i)
            SendDatagram();
        epoll_event ready[64];
        int64_t now = fStart;
        while (now < end) {
            const int count = epoll_wait(fEpoll, ready, 64, 50);
            now = Now();
            for (int i = 0; i < count; ++i) {
                if (ready[i].data.u64 == kDatagramTag) {
                    ReceiveDatagrams();
                } else {
                    ReceiveEcho(fConnections[ready[i].data.u64], now);
                }
            }
            if (fOptions.fWindow > 0) ExpireDatagrams(now);
        }
        fSeconds = double(now - fStart) / 1e9;
    }

    void Report() const {
        const double rate = double(fLatency.Total()) / fSeconds;
        if (fOptions.fJson) {
            std::printf(
                "{\"seconds\": %.3f, \"round_trips\": %llu, \"round_trips_per_second\": %.0f, "
                "\"median_latency_us\": %u, \"p99_latency_us\": %u, \"p999_latency_us\": %u, "
                "\"bytes_verified\": %llu, \"errors\": %llu}\n",
                fSeconds, (unsigned long long)fLatency.Total(), rate, fLatency.Percentile(0.5),
                fLatency.Percentile(0.99), fLatency.Percentile(0.999),
                (unsigned long long)fBytesVerified, (unsigned long long)fErrors);
        } else {
            std::printf(
                "%.0f round trips/s over %.1f s, median %u us, p99 %u us, p99.9 %u us, %llu "
                "errors\n",
                rate, fSeconds, fLatency.Percentile(0.5), fLatency.Percentile(0.99),
                fLatency.Percentile(0.999), (unsigned long long)fErrors);
        }
    }

private:
    static constexpr uint64_t kDatagramTag = ~uint64_t(0);

    bool Connect(Connection& connection, size_t index) {
        connection.fOpenedAt = Now();
        connection.fSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in target = Loopback(fOptions.fTCPPort);
        if (connect(connection.fSocket, reinterpret_cast<const sockaddr*>(&target),
                    sizeof(target)) != 0) {
            std::perror("epoll-load: connect");
            return false;
        }
        const int on = 1;
        setsockopt(connection.fSocket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        // Blocking sends: a message of a few KiB always fits the socket's buffer.
        connection.fExpected.resize(fOptions.fMessageSize);
        connection.fBuffer.resize(fOptions.fMessageSize);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = index;
        return epoll_ctl(fEpoll, EPOLL_CTL_ADD, connection.fSocket, &event) == 0;
    }

    void SendMessage(Connection& connection) {
        Fill((uint64_t(connection.fSocket) << 40) ^ ++connection.fNumber,
             connection.fExpected.data(), connection.fExpected.size());
        connection.fReceived = 0;
        connection.fSentAt = Now();
        if (send(connection.fSocket, connection.fExpected.data(), connection.fExpected.size(),
                 MSG_NOSIGNAL) != ssize_t(connection.fExpected.size()))
            ++fErrors;
    }

    void ReceiveEcho(Connection& connection, int64_t now) {
        const size_t wanted = connection.fBuffer.size() - connection.fReceived;
        const ssize_t received =
            recv(connection.fSocket, connection.fBuffer.data() + connection.fReceived, wanted,
                 MSG_DONTWAIT);
        if (received <= 0) {
            if (received < 0 && errno == EAGAIN) return;
            ++fErrors;  // the server closed or reset a connection it should keep
            epoll_ctl(fEpoll, EPOLL_CTL_DEL, connection.fSocket, nullptr);
            return;
        }
        connection.fReceived += size_t(received);
        if (connection.fReceived < connection.fBuffer.size()) return;
        if (std::memcmp(connection.fBuffer.data(), connection.fExpected.data(),
                        connection.fBuffer.size()) != 0) {
            ++fErrors;
        } else {
            fBytesVerified += connection.fBuffer.size();
        }
        fLatency.Add(now - (fOptions.fChurn ? connection.fOpenedAt : connection.fSentAt));
        // Closed first here, so the time-wait state is this side's: loopback reuses it.
        if (fOptions.fChurn) {
            close(connection.fSocket);
            if (!Connect(connection, size_t(&connection - fConnections.data()))) {
                ++fErrors;
                return;
            }
        }
        SendMessage(connection);
    }

    bool StartDatagrams() {
        fDatagrams = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const sockaddr_in target = Loopback(fOptions.fUDPPort);
        if (connect(fDatagrams, reinterpret_cast<const sockaddr*>(&target), sizeof(target)) != 0)
            return false;
        fInFlight.assign(fOptions.fWindow * 4, 0);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = kDatagramTag;
        return epoll_ctl(fEpoll, EPOLL_CTL_ADD, fDatagrams, &event) == 0;
    }

    // A datagram carries its sequence number first; the rest is its pattern.
    void SendDatagram() {
        const uint64_t sequence = ++fDatagramSequence;
        std::vector<char>& bytes = fDatagramBuffer;
        bytes.resize(fOptions.fDatagramSize);
        Fill(sequence, bytes.data(), bytes.size());
        std::memcpy(bytes.data(), &sequence, sizeof(sequence));
        fInFlight[sequence % fInFlight.size()] = Now();
        if (send(fDatagrams, bytes.data(), bytes.size(), 0) != ssize_t(bytes.size())) ++fErrors;
        ++fOutstanding;
    }

    // At most a window's worth per call, so that the loop still looks at its clock.
    void ReceiveDatagrams() {
        std::vector<char> expected(fOptions.fDatagramSize), received(fOptions.fDatagramSize);
        for (unsigned turn = 0; turn < fOptions.fWindow; ++turn) {
            const ssize_t length = recv(fDatagrams, received.data(), received.size(), 0);
            if (length < 0) return;
            const int64_t now = Now();
            uint64_t sequence = 0;
            std::memcpy(&sequence, received.data(), sizeof(sequence));
            int64_t& sentAt = fInFlight[sequence % fInFlight.size()];
            Fill(sequence, expected.data(), expected.size());
            std::memcpy(expected.data(), &sequence, sizeof(sequence));
            if (sentAt == 0 || size_t(length) != expected.size() ||
                std::memcmp(received.data(), expected.data(), expected.size()) != 0) {
                ++fErrors;
                continue;
            }
            fLatency.Add(now - sentAt);
            fBytesVerified += size_t(length);
            sentAt = 0;
            --fOutstanding;
            fLastDatagramAt = now;
            SendDatagram();
        }
    }

    // Datagrams may be lost: when nothing came back for a while, the window is refilled.
    void ExpireDatagrams(int64_t now) {
        if (fLastDatagramAt == 0) fLastDatagramAt = now;
        if (now - fLastDatagramAt < kDatagramTimeoutNs) return;
        fErrors += fOutstanding;
        fOutstanding = 0;
        std::fill(fInFlight.begin(), fInFlight.end(), 0);
        fLastDatagramAt = now;
        for (unsigned i = 0; i < fOptions.fWindow; ++i)
            SendDatagram();
    }

    Options fOptions;
    int fEpoll = -1;
    std::vector<Connection> fConnections;
    int fDatagrams = -1;
    uint64_t fDatagramSequence = 0;
    uint64_t fOutstanding = 0;
    int64_t fLastDatagramAt = 0;
    std::vector<int64_t> fInFlight;  // send time by sequence, 0 when none is out
    std::vector<char> fDatagramBuffer;
    Histogram fLatency;
    uint64_t fBytesVerified = 0;
    uint64_t fErrors = 0;
    int64_t fStart = 0;
    double fSeconds = 0;
};

[[noreturn]] void Usage() {
    std::fprintf(stderr,
                 "usage: epoll-load --tcp-port P --udp-port P [--connections C] "
                 "[--message-size M] [--churn]\n"
                 "                  [--window W] [--datagram-size D] [--duration S] [--json]\n");
    std::exit(2);
}

Options Parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const char* name = argv[i];
        if (std::strcmp(name, "--json") == 0) {
            options.fJson = true;
            continue;
        }
        if (std::strcmp(name, "--churn") == 0) {
            options.fChurn = true;
            continue;
        }
        if (i + 1 >= argc) Usage();
        const char* value = argv[++i];
        char* end = nullptr;
        const double number = std::strtod(value, &end);
        if (end == value || *end != '\0' || number < 0) Usage();
        const struct {
            const char* fName;
            unsigned* fField;
            double fHigh;
        } fields[] = {{"--tcp-port", &options.fTCPPort, 65535},
                      {"--udp-port", &options.fUDPPort, 65535},
                      {"--connections", &options.fConnections, 4096},
                      {"--message-size", &options.fMessageSize, 65536},
                      {"--window", &options.fWindow, 4096},
                      {"--datagram-size", &options.fDatagramSize, 16384}};
        bool known = false;
        for (const auto& field : fields) {
            if (std::strcmp(name, field.fName) != 0) continue;
            if (number > field.fHigh) Usage();
            *field.fField = unsigned(number);
            known = true;
        }
        if (std::strcmp(name, "--duration") == 0) {
            options.fDuration = number;
            known = true;
        }
        if (!known) Usage();
    }
    if (options.fDatagramSize < 8 || options.fMessageSize == 0) Usage();
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    Load load(Parse(argc, argv));
    if (!load.Start()) return 1;
    load.Run();
    load.Report();
    return 0;
}
