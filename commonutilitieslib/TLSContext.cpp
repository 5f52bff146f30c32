#include "TLSContext.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <cstdio>
#include <cstring>

#include "OSTypes.h"

namespace {

// Why the file just named could not be used: ENOENT when it cannot be opened, else malformed.
int32_t FileError() {
    const unsigned long error = ERR_peek_error();
    return ERR_GET_LIB(error) == ERR_LIB_SYS && ERR_GET_REASON(error) == ENOENT ? ENOENT
                                                                                : kErrTLSFailed;
}

struct PasswordRequest {
    const char* fPassword;
    bool fAsked = false;  // only an encrypted key asks
};

// Never prompts: with no password given, an encrypted key fails to load.
int PasswordCallback(char* buffer, int size, int, void* data) {
    PasswordRequest* request = static_cast<PasswordRequest*>(data);
    request->fAsked = true;
    if (request->fPassword == nullptr) return -1;
    const size_t length = std::strlen(request->fPassword);
    if (length > size_t(size)) return -1;
    std::memcpy(buffer, request->fPassword, length);
    return int(length);
}

// 0, or the error with its text.
int32_t LoadKey(SSL_CTX* context, const TLSOptions& options, TLSError* outError) {
    BIO* file = BIO_new_file(options.fKeyFile, "r");
    if (file == nullptr) return outError->Set(FileError(), "cannot open the key file"), 1;
    PasswordRequest request{options.fKeyPassword};
    EVP_PKEY* key = PEM_read_bio_PrivateKey(file, nullptr, PasswordCallback, &request);
    BIO_free(file);
    if (key == nullptr && request.fAsked) {
        outError->Set(kErrTLSBadPassword, options.fKeyPassword == nullptr
                                              ? "the key is encrypted and no password was given"
                                              : "the key's password is wrong");
        return 1;
    }
    if (key == nullptr) return outError->Set(kErrTLSFailed, "the key file holds no key"), 1;
    // A key that does not match leaves the context without its certificate rather than
    // failing; the check below says so.
    const int used = SSL_CTX_use_PrivateKey(context, key);
    EVP_PKEY_free(key);
    if (used != 1) return outError->Set(kErrTLSFailed, "the key cannot be used"), 1;
    if (SSL_CTX_check_private_key(context) != 1) {
        outError->Set(kErrTLSKeyMismatch, "the key does not belong to the certificate");
        return 1;
    }
    return 0;
}

// The comma-separated names in ALPN's wire form; false when they do not fit or one is empty.
bool EncodeProtocols(const char* names, unsigned char* list, uint32_t size, uint32_t* outLength) {
    uint32_t length = 0;
    for (const char* name = names; *name != '\0';) {
        const char* end = std::strchr(name, ',');
        const size_t nameLength = end != nullptr ? size_t(end - name) : std::strlen(name);
        if (nameLength == 0 || nameLength > 255 || length + 1 + nameLength > size) return false;
        list[length++] = static_cast<unsigned char>(nameLength);
        std::memcpy(list + length, name, nameLength);
        length += uint32_t(nameLength);
        name += nameLength + (end != nullptr ? 1 : 0);
    }
    *outLength = length;
    return true;
}

int SelectProtocol(SSL*, const unsigned char** out, unsigned char* outLength,
                   const unsigned char* offered, unsigned int offeredLength, void* data) {
    uint32_t ownLength = 0;
    const unsigned char* own = static_cast<TLSContext*>(data)->ProtocolList(&ownLength);
    unsigned char* chosen = nullptr;
    if (SSL_select_next_proto(&chosen, outLength, own, ownLength, offered, offeredLength) !=
        OPENSSL_NPN_NEGOTIATED)
        return SSL_TLSEXT_ERR_NOACK;
    *out = chosen;
    return SSL_TLSEXT_ERR_OK;
}

}  // namespace

void TLSError::Set(int32_t code, const char* prefix) {
    fCode = code;
    const unsigned long error = ERR_peek_error();
    const char* reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
    if (reason != nullptr)
        std::snprintf(fText, sizeof(fText), "%s: %s", prefix, reason);
    else
        std::snprintf(fText, sizeof(fText), "%s", prefix);
    ERR_clear_error();
}

TLSContext* TLSContext::Make(Role role, const TLSOptions& options, TLSError* outError) {
    ERR_clear_error();
    const bool server = role == Role::kServer;
    SSL_CTX* handle = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    if (handle == nullptr) return outError->Set(ENOMEM, "no TLS context"), nullptr;
    TLSContext* context = new TLSContext(role, handle);
    SSL_CTX_set_min_proto_version(handle, TLS1_2_VERSION);
    SSL_CTX_set_options(handle, SSL_OP_NO_RENEGOTIATION);
    // Whole socket reads rather than a header and a body: half the system calls.
    SSL_CTX_set_read_ahead(handle, 1);

    const bool hasIdentity = options.fCertificateFile != nullptr || options.fKeyFile != nullptr;
    bool made = true;
    if (server && (options.fCertificateFile == nullptr || options.fKeyFile == nullptr)) {
        outError->Set(kErrTLSFailed, "a server needs a certificate and a key");
        made = false;
    } else if (hasIdentity &&
               SSL_CTX_use_certificate_chain_file(handle, options.fCertificateFile) != 1) {
        outError->Set(FileError(), "cannot load the certificate file");
        made = false;
    } else if (hasIdentity && LoadKey(handle, options, outError) != 0) {
        made = false;
    }

    if (made && options.fProtocols != nullptr &&
        !EncodeProtocols(options.fProtocols, context->fProtocolList, kProtocolListSize,
                         &context->fProtocolListLength)) {
        outError->Set(kErrTLSFailed, "the protocol list is malformed or too long");
        made = false;
    }
    if (made && context->fProtocolListLength > 0) {
        if (server) {
            SSL_CTX_set_alpn_select_cb(handle, SelectProtocol, context);
        } else if (SSL_CTX_set_alpn_protos(handle, context->fProtocolList,
                                           context->fProtocolListLength) != 0) {
            outError->Set(kErrTLSFailed, "cannot offer the protocols");
            made = false;
        }
    }

    if (made && !server && !options.fInsecureSkipVerification) {
        context->fVerifiesPeer = true;
        SSL_CTX_set_verify(handle, SSL_VERIFY_PEER, nullptr);
        const int loaded = options.fCAFile != nullptr
                               ? SSL_CTX_load_verify_locations(handle, options.fCAFile, nullptr)
                               : SSL_CTX_set_default_verify_paths(handle);
        if (loaded != 1) {
            outError->Set(FileError(), "cannot load the CA certificates");
            made = false;
        }
    }
    if (!made) {
        delete context;
        return nullptr;
    }
    return context;
}

TLSContext::~TLSContext() {
    SSL_CTX_free(fContext);
}
