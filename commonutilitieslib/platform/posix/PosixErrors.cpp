#include "PosixErrors.h"

#include <cerrno>

namespace Platform {
namespace {

struct ErrorPair {
    int fErrno;
    uint32_t fWindowsCode;
};

// The first pair naming a Windows code is the one used when a test sets that code.
constexpr ErrorPair kErrorPairs[] = {
    {ENOENT, 2},           // ERROR_FILE_NOT_FOUND
    {ENOTDIR, 3},          // ERROR_PATH_NOT_FOUND
    {EEXIST, 183},         // ERROR_ALREADY_EXISTS
    {EINTR, 10004},        // WSAEINTR
    {EBADF, 10009},        // WSAEBADF
    {EACCES, 10013},       // WSAEACCES
    {EFAULT, 10014},       // WSAEFAULT
    {EINVAL, 10022},       // WSAEINVAL
    {EMFILE, 10024},       // WSAEMFILE
    {EAGAIN, 10035},       // WSAEWOULDBLOCK
    {EINPROGRESS, 10036},  // WSAEINPROGRESS
    {EALREADY, 10037},     // WSAEALREADY
    {ENOTSOCK, 10038},     // WSAENOTSOCK
    {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},  // WSAEMSGSIZE
    {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043},
    {EOPNOTSUPP, 10045},
    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},     // WSAEADDRINUSE
    {EADDRNOTAVAIL, 10049},  // WSAEADDRNOTAVAIL
    {ENETDOWN, 10050},
    {ENETUNREACH, 10051},
    {ENETRESET, 10052},     // WSAENETRESET
    {ECONNABORTED, 10053},  // WSAECONNABORTED
    {ECONNRESET, 10054},    // WSAECONNRESET
    {EPIPE, 10054},         // a send on a broken connection: a reset, as Windows reports it
    {ENOBUFS, 10055},
    {EISCONN, 10056},
    {ENOTCONN, 10057},  // WSAENOTCONN
    {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},
    {EHOSTUNREACH, 10065},
};

// An errno with no Windows counterpart, used when a test sets an unlisted Windows code.
constexpr int kUnlistedErrno = EPROTO;

}  // namespace

uint32_t WindowsCodeFromErrno(int error) {
    if (error == 0) return 0;
    if (error == EWOULDBLOCK) error = EAGAIN;
    for (const ErrorPair& pair : kErrorPairs) {
        if (pair.fErrno == error) return pair.fWindowsCode;
    }
    return kErrnoBase + uint32_t(error);
}

int ErrnoFromWindowsCode(uint32_t code) {
    if (code == 0) return 0;
    for (const ErrorPair& pair : kErrorPairs) {
        if (pair.fWindowsCode == code) return pair.fErrno;
    }
    if (code > kErrnoBase) return int(code - kErrnoBase);
    return kUnlistedErrno;
}

}  // namespace Platform
