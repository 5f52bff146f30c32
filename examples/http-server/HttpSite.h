// What a server serves, shared read-only by its connections: a directory, or without one
// the built-in page; and how long a connection may stay idle.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct HttpSite {
    std::string fRoot;  // a resolved directory (ResolveRoot); empty: the built-in page at "/"
    uint32_t fIdleTimeoutMSec = 30000;
};

// The page served at "/" when there is no directory: a few hundred bytes of HTML.
std::string_view BuiltInPage();
