#include "HttpTLS.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "HttpOptions.h"
#include "IdleDeadline.h"
#include "TCPListenerSocket.h"
#include "TLSContext.h"
#include "TLSStream.h"
#include "Task.h"

namespace {

// The file's first line, without its line end: a password kept off the command line.
bool ReadFirstLine(const std::string& path, std::string* line, std::string* error) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    char buffer[1024];
    const bool read = std::fgets(buffer, sizeof buffer, file) != nullptr;
    std::fclose(file);
    *line = read ? std::string(buffer, std::strcspn(buffer, "\r\n")) : std::string();
    return true;
}

class TLSTransport final : public HttpTransport {
public:
    TLSTransport(HttpTLS* tls, TLSContext* context, TCPSocket* socket)
        : fTLS(tls), fStream(context, socket) {}

    StreamOutput* Output() override { return &fStream; }
    int32_t Read(void* buffer, uint32_t size, uint32_t* outLengthRead) override {
        const int32_t result = fStream.Read(buffer, size, outLengthRead);
        if (result != 0 && result != EAGAIN && !fStream.IsEstablished())
            fTLS->HandshakeFailed(fStream.Error().fCode != 0 ? fStream.Error().fText
                                                             : "the peer closed");
        return result;
    }
    int32_t ArmEvent(uint32_t eventBits) override { return fStream.ArmEvent(eventBits); }
    int32_t EndSending() override { return fStream.Close(); }

private:
    HttpTLS* fTLS;
    TLSStream fStream;
};

}  // namespace

// Logs the first failure of a burst at once, then waits out the interval on a deadline, not
// parked on a timer: a parked task would hear the server's stop only when the timer is up.
class HttpTLS::FailureLog final : public Task {
public:
    static constexpr uint32_t kStopEvent = TCPListenerSocket::kStopEvent;
    static constexpr uint32_t kIntervalEvent = 0x00020000;

    explicit FailureLog(HttpTLS* tls) : fTLS(tls) { SetTaskName("TLSFailureLog"); }

    bool Join(TaskGroup* group) { return fMember.Join(group); }

    int64_t Run() override {
        const uint32_t events = TakeEvents();
        if ((events & kStopEvent) != 0) {
            fInterval.Cancel();
            fTLS->Report(true);
            return -1;
        }
        if ((events & kIntervalEvent) != 0) fWaiting = false;
        // Failures within the interval wait for its end, counted.
        if (fWaiting || !fTLS->Report(false)) return 0;
        fWaiting = fInterval.Start(this, kLogIntervalMSec, kIntervalEvent) == 0;
        return 0;
    }

private:
    TaskGroup::Member fMember{this};
    HttpTLS* fTLS;
    IdleDeadline fInterval;
    bool fWaiting = false;
};

bool HttpTLS::IsBuilt() {
    return true;
}

HttpTLS* HttpTLS::Make(const HttpOptions& options, std::string* error) {
    std::string password;
    if (!options.fTLSKeyPasswordFile.empty() &&
        !ReadFirstLine(options.fTLSKeyPasswordFile, &password, error))
        return nullptr;
    TLSOptions tls;
    tls.fCertificateFile = options.fTLSCertificate.c_str();
    tls.fKeyFile = options.fTLSKey.c_str();
    tls.fKeyPassword = options.fTLSKeyPasswordFile.empty() ? nullptr : password.c_str();
    TLSError failure;
    TLSContext* context = TLSContext::Make(TLSContext::Role::kServer, tls, &failure);
    if (context == nullptr) {
        *error = failure.fText;
        return nullptr;
    }
    return new HttpTLS(context);
}

HttpTLS::~HttpTLS() {
    Report(true);  // what came after the log ended
    delete fContext;
}

HttpTransport* HttpTLS::NewTransport(TCPSocket* socket) {
    return new TLSTransport(this, fContext, socket);
}

bool HttpTLS::StartLog(TaskGroup* group) {
    FailureLog* log = new FailureLog(this);
    {
        OSMutexLocker locker(&fMutex);
        fLog = log;  // before it joins: from then on a stop may end it at any moment
    }
    if (log->Join(group)) return true;
    OSMutexLocker locker(&fMutex);
    fLog = nullptr;
    delete log;
    return false;
}

void HttpTLS::HandshakeFailed(const char* reason) {
    OSMutexLocker locker(&fMutex);
    fLastReason = reason;
    if (++fFailed == 1 && fLog != nullptr) fLog->Signal(Task::kReadEvent);
}

bool HttpTLS::Report(bool last) {
    uint32_t failed = 0;
    std::string reason;
    {
        OSMutexLocker locker(&fMutex);
        failed = fFailed;
        fFailed = 0;
        reason.swap(fLastReason);
        if (last) fLog = nullptr;
    }
    if (failed == 0) return false;
    std::printf("http-server: %u TLS handshake%s failed (the last: %s)\n", failed,
                failed == 1 ? "" : "s", reason.c_str());
    std::fflush(stdout);
    return true;
}
