// Linked in place of getaddrinfo (with --wrap=getaddrinfo) where glibc is linked static:
// a static glibc resolves names only through shared libraries of its own version, which
// the machine running the tests need not have, and its linker says so in a warning. The
// one caller is GoogleTest's streaming of results to a named host, which these suites
// never ask for; asked, it reports the look-up failed.
#include <netdb.h>

extern "C" int __wrap_getaddrinfo(const char*, const char*, const addrinfo*, addrinfo**) {
    return EAI_FAIL;
}
