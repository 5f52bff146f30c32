/// @file
/// A TLS configuration, server or client, shared by the many streams made with it (from any
/// thread). OpenSSL stays inside the TLS sources: this header names none of its types.
///
/// Defaults are the safe ones: TLS 1.2 at least (1.3 when both ends have it), no
/// renegotiation, and a client that verifies the server's chain against a CA file or the
/// system store and checks the name it connects to. Turning verification off takes an option
/// whose name says what it costs.
#pragma once

#include <cstdint>

struct ssl_ctx_st;

/// An error number with the reason in words, for a log line.
struct TLSError {
    int32_t fCode = 0;     ///< 0 for no error.
    char fText[256] = {};  ///< The reason, NUL-terminated; empty for no error.

    /// Sets the number and the text: the prefix, then OpenSSL's reason when it queued one.
    /// Takes (clears) the thread's OpenSSL error queue.
    void Set(int32_t code, const char* prefix);
};

/// What a context is made from. The strings are read by TLSContext::Make only.
struct TLSOptions {
    // PEM files. A server needs its certificate (with the chain, leaf first) and key.
    const char* fCertificateFile = nullptr;  ///< The certificate's PEM file, chain after it.
    const char* fKeyFile = nullptr;          ///< The private key's PEM file.
    const char* fKeyPassword = nullptr;      ///< For an encrypted key.
    /// A PEM file of CAs that a client verifies against; null means the system store.
    const char* fCAFile = nullptr;
    /// Protocols for ALPN, most preferred first, separated by commas ("h2,http/1.1"). A client
    /// offers them; a server chooses the first of its own that the client offered, and goes on
    /// without ALPN when there is none in common.
    const char* fProtocols = nullptr;
    /// A client that accepts any certificate for any name: for tests and debugging only.
    bool fInsecureSkipVerification = false;
};

/// A server or client configuration; see the file's description. Made by Make, deleted by
/// its owner.
class TLSContext {
public:
    /// Which end of the connections it makes.
    enum class Role {
        kServer,  ///< Accepts connections: needs a certificate and key.
        kClient   ///< Connects, verifying the server unless told not to.
    };

    /// A context, or null with the reason in *outError: ENOENT for a file that cannot be
    /// opened, kErrTLSBadPassword, kErrTLSKeyMismatch, or kErrTLSFailed for anything else
    /// (a malformed file, a protocol list that does not fit).
    static TLSContext* Make(Role role, const TLSOptions& options, TLSError* outError);
    /// Streams made with the context must be gone first.
    ~TLSContext();
    TLSContext(const TLSContext&) = delete;
    TLSContext& operator=(const TLSContext&) = delete;

    Role GetRole() const { return fRole; }  ///< Server or client.
    /// A client that verifies the server's certificate and name.
    bool VerifiesPeer() const { return fVerifiesPeer; }
    /// OpenSSL's context, for the TLS sources; owned by this context.
    ssl_ctx_st* Handle() const { return fContext; }

    static constexpr uint32_t kProtocolListSize = 256;  ///< The wire-form list's room.
    /// The protocol list in the wire form ALPN uses: length-prefixed names.
    const unsigned char* ProtocolList(uint32_t* outLength) const {
        *outLength = fProtocolListLength;
        return fProtocolList;
    }

private:
    TLSContext(Role role, ssl_ctx_st* context) : fRole(role), fContext(context) {}

    Role fRole;
    ssl_ctx_st* fContext;
    bool fVerifiesPeer = false;
    unsigned char fProtocolList[kProtocolListSize] = {};
    uint32_t fProtocolListLength = 0;
};
