/// @file
/// Basic types and error numbers shared by every part of the runtime. Calls report 0 for
/// success or an error number: a classic errno value (ENOENT, EINTR, EAGAIN...) or one of the
/// runtime's own below.
#pragma once

#include <cerrno>
#include <cstdint>

/// The runtime's yes/no type: 1 for true, 0 for false.
using Bool16 = uint16_t;

// Error numbers are signed 32-bit, 0 for success. The standard numbers keep their
// classic values on every platform; the runtime's own numbers sit above 1000.
static_assert(ENOENT == 2 && EINTR == 4 && EAGAIN == 11 && EBUSY == 16 && EEXIST == 17 &&
                  EMFILE == 24 && EPIPE == 32,
              "the runtime's error numbers rely on the classic errno values");

/// The connection is gone or was never made; also the number of any platform error that has
/// none of its own.
constexpr int32_t kErrNotConnected = 1002;
/// The address and port are taken by another socket.
constexpr int32_t kErrAddressInUse = 1004;
/// A non-blocking connect is under way.
constexpr int32_t kErrInProgress = 1007;
/// The address belongs to no interface of this host.
constexpr int32_t kErrAddressNotAvailable = 1009;
/// Every message number of the process is held by another socket: this one cannot be armed.
constexpr int32_t kErrNoMessageNumber = 1010;
/// A bounded buffer had no room for the whole of what it was given, and took none of it.
constexpr int32_t kErrNoRoom = 1011;
/// The platform does not offer what was asked (sharing a listening port on Windows).
constexpr int32_t kErrNotSupported = 1012;
/// Text that is not an address with port in any form the runtime reads.
constexpr int32_t kErrBadAddress = 1013;
/// TLS: the handshake or a record failed (the stream's error text says how).
constexpr int32_t kErrTLSFailed = 1014;
/// TLS: the peer's certificate did not verify (unknown issuer, wrong name, expired...).
constexpr int32_t kErrTLSVerifyFailed = 1015;
/// TLS: the private key does not belong to the certificate.
constexpr int32_t kErrTLSKeyMismatch = 1016;
/// TLS: the private key could not be decrypted with the password given.
constexpr int32_t kErrTLSBadPassword = 1017;
