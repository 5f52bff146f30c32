#include "HttpOptions.h"

#include <cstring>

#include "ChildProcesses.h"
#include "HttpTLS.h"

namespace {

constexpr uint32_t kMostThreads = 256;
constexpr uint32_t kMostSeconds = 7 * 24 * 3600;

const char kUsage[] =
    "usage: http-server [options]       serve static content over HTTP/1.1\n"
    "options:\n"
    "  --port PORT             TCP port (default 8080; 0 lets the system choose)\n"
    "  --bind ADDRESS          local address to serve on (default 127.0.0.1; :: serves\n"
    "                          IPv6 and IPv4 clients)\n"
    "  --root DIR              serve the files under DIR (default: a built-in page at /)\n"
    "  --threads N             task threads (default: the processor count)\n"
    "  --idle-timeout SECONDS  close a connection idle for this long (default 30)\n"
    "  --processes N           serve from N processes on one port (1 to 64; default 1)\n"
    "  --share-port            let other processes listen on the port too\n"
    "  --help                  this text\n";
const char kTLSUsage[] =
    "  --tls-cert FILE         serve HTTPS with this certificate (PEM, leaf first)\n"
    "  --tls-key FILE          and this key (PEM)\n"
    "  --tls-key-password-file FILE\n"
    "                          the encrypted key's password: the file's first line\n";

// A value that must not be empty: a path.
bool ParseText(const char* value, std::string* out) {
    if (value == nullptr || *value == '\0') return false;
    *out = value;
    return true;
}

}  // namespace

const char* HttpUsage() {
    static const std::string sUsage = std::string(kUsage) + (HttpTLS::IsBuilt() ? kTLSUsage : "");
    return sUsage.c_str();
}

bool ParseHttpOptions(int argc, const char* const* argv, HttpOptions* options, std::string* error) {
    for (int i = 0; i < argc; ++i) {
        const char* name = argv[i];
        if (std::strcmp(name, "--help") == 0 || std::strcmp(name, "-h") == 0) {
            options->fHelp = true;
            return true;
        }
        if (std::strcmp(name, "--share-port") == 0) {
            options->fSharePort = true;
            continue;
        }
        // Every other option takes a value.
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool known = true;
        bool valid = value != nullptr;
        uint32_t number = 0;
        if (std::strcmp(name, "--port") == 0) {
            valid = ParseNumber(value, 0, 65535, &number);
            if (valid) options->fPort = uint16_t(number);
        } else if (std::strcmp(name, "--bind") == 0) {
            valid = valid && ParseAddress(value, &options->fBindAddress);
        } else if (std::strcmp(name, "--root") == 0) {
            valid = ParseText(value, &options->fRoot);
        } else if (std::strcmp(name, "--threads") == 0) {
            valid = ParseNumber(value, 1, kMostThreads, &options->fThreads);
        } else if (std::strcmp(name, "--processes") == 0) {
            valid = ParseNumber(value, 1, ChildProcesses::kMostProcesses, &options->fProcesses);
        } else if (std::strcmp(name, "--idle-timeout") == 0) {
            valid = ParseNumber(value, 1, kMostSeconds, &options->fIdleTimeoutSeconds);
        } else if (HttpTLS::IsBuilt() && std::strcmp(name, "--tls-cert") == 0) {
            valid = ParseText(value, &options->fTLSCertificate);
        } else if (HttpTLS::IsBuilt() && std::strcmp(name, "--tls-key") == 0) {
            valid = ParseText(value, &options->fTLSKey);
        } else if (HttpTLS::IsBuilt() && std::strcmp(name, "--tls-key-password-file") == 0) {
            valid = ParseText(value, &options->fTLSKeyPasswordFile);
        } else {
            known = false;
        }
        if (!OptionRead(name, value, known, valid, error)) return false;
        ++i;
    }
    if (options->fTLSCertificate.empty() != options->fTLSKey.empty()) {
        *error = "--tls-cert and --tls-key go together";
        return false;
    }
    if (!options->fTLSKeyPasswordFile.empty() && options->fTLSKey.empty()) {
        *error = "--tls-key-password-file needs --tls-key";
        return false;
    }
    return true;
}
