// What a server serves, shared read-only by its connections: a directory, or without one
// the built-in page; how long a connection may stay idle; and TLS, when it is served.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class HttpTLS;

struct HttpSite {
    std::string fRoot;  // a resolved directory (ResolveRoot); empty: the built-in page at "/"
    uint32_t fIdleTimeoutMSec = 30000;
    HttpTLS* fTLS = nullptr;  // serves HTTPS with it when set; not owned
};

// The page served at "/" when there is no directory: a few hundred bytes of HTML.
std::string_view BuiltInPage();
