// A build without TLS: the server speaks plain HTTP only, and the options that would ask
// for TLS are not offered.
#include "HttpTLS.h"

bool HttpTLS::IsBuilt() {
    return false;
}

HttpTLS* HttpTLS::Make(const HttpOptions&, std::string* error) {
    *error = "this build has no TLS";
    return nullptr;
}

HttpTLS::~HttpTLS() = default;

HttpTransport* HttpTLS::NewTransport(TCPSocket*) {
    return nullptr;
}

bool HttpTLS::StartLog(TaskGroup*) {
    return true;
}

void HttpTLS::HandshakeFailed(const char*) {}
