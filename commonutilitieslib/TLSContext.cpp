#include "TLSContext.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>

#include "OSTypes.h"

namespace {

// Says why the file could not be used: ENOENT when it cannot be opened, else malformed.
void FileFailed(TLSError* outError, const char* what, const char* path) {
    const unsigned long error = ERR_peek_error();
    const bool missing = ERR_SYSTEM_ERROR(error) && ERR_GET_REASON(error) == ENOENT;
    char prefix[200];
    std::snprintf(prefix, sizeof(prefix), "cannot load the %s %s", what, path);
    outError->Set(missing ? ENOENT : kErrTLSFailed, prefix);
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
    if (file == nullptr) return FileFailed(outError, "key file", options.fKeyFile), 1;
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
    X509* certificate = SSL_CTX_get0_certificate(context);
    const bool matches = certificate == nullptr || X509_check_private_key(certificate, key) == 1;
    const int used = matches ? SSL_CTX_use_PrivateKey(context, key) : 0;
    EVP_PKEY_free(key);
    if (!matches) {
        outError->Set(kErrTLSKeyMismatch, "the key does not belong to the certificate");
        return 1;
    }
    if (used != 1) return outError->Set(kErrTLSFailed, "the key cannot be used"), 1;
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
    // A system error's reason is the platform's error number, which OpenSSL does not name.
    const std::string system = ERR_SYSTEM_ERROR(error)
                                   ? std::generic_category().message(ERR_GET_REASON(error))
                                   : std::string();
    const char* reason = ERR_SYSTEM_ERROR(error) ? system.c_str()
                         : error != 0            ? ERR_reason_error_string(error)
                                                 : nullptr;
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
        FileFailed(outError, "certificate file", options.fCertificateFile);
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
            FileFailed(outError, "CA file",
                       options.fCAFile != nullptr ? options.fCAFile : "(system store)");
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
