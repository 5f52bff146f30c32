#include "TLSStream.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "OSAssert.h"
#include "Task.h"

namespace {

// Room first made for encrypted bytes the socket did not take: a record and then some.
constexpr uint32_t kFirstKeptCapacity = 32 * 1024;

}  // namespace

bio_method_st* TLSStream::Method() {
    static BIO_METHOD* const sMethod = [] {
        BIO_METHOD* method =
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "runtime socket");
        if (method == nullptr) return method;
        BIO_meth_set_read(method, ReadFromSocket);
        BIO_meth_set_write(method, WriteToSocket);
        BIO_meth_set_ctrl(method, ControlSocket);
        BIO_meth_set_create(method, [](BIO* bio) {
            BIO_set_init(bio, 1);
            return 1;
        });
        return method;
    }();
    return sMethod;
}

TLSStream::TLSStream(TLSContext* context, Socket* socket, const char* peerName) : fSocket(socket) {
    ERR_clear_error();
    BIO_METHOD* method = Method();
    fSSL = SSL_new(context->Handle());
    fBIO = method != nullptr ? BIO_new(method) : nullptr;
    if (fSSL == nullptr || fBIO == nullptr) {
        BIO_free(fBIO);
        fBIO = nullptr;
        fError.Set(ENOMEM, "no room for a TLS stream");
        return;
    }
    BIO_set_data(fBIO, this);
    SSL_set_bio(fSSL, fBIO, fBIO);  // one reference, owned by fSSL from now on
    if (context->GetRole() == TLSContext::Role::kServer) {
        SSL_set_accept_state(fSSL);
        return;
    }
    SSL_set_connect_state(fSSL);
    if (peerName == nullptr) {
        if (context->VerifiesPeer())
            fError.Set(kErrTLSFailed, "a verifying client needs the name of its server");
        return;
    }
    // An address is checked as one; a name is also sent, so the server can pick its
    // certificate.
    if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(fSSL), peerName) != 1) {
        ERR_clear_error();
        if (SSL_set_tlsext_host_name(fSSL, peerName) != 1 || SSL_set1_host(fSSL, peerName) != 1)
            fError.Set(kErrTLSFailed, "the server's name cannot be used");
    }
}

TLSStream::~TLSStream() {
    SSL_free(fSSL);
    delete[] fKept;
}

int TLSStream::ReadFromSocket(BIO* bio, char* buffer, int size) {
    TLSStream* stream = static_cast<TLSStream*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    uint32_t received = 0;
    const int32_t result = stream->fSocket->Read(buffer, uint32_t(size), &received);
    if (result == 0) return int(received);
    if (result == EAGAIN) {
        BIO_set_retry_read(bio);
        return -1;
    }
    // The peer's end of the stream is an end of file to OpenSSL, which knows whether it
    // came after close_notify.
    if (result == kErrNotConnected) return 0;
    stream->fSocketError = result;
    return -1;
}

int TLSStream::WriteToSocket(BIO* bio, const char* data, int size) {
    TLSStream* stream = static_cast<TLSStream*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    // Always taken whole, so OpenSSL never waits to write: what the socket leaves is kept,
    // behind what was kept before.
    uint32_t sent = 0;
    if (stream->fKeptStart == stream->fKeptEnd) {
        const int32_t result = stream->fSocket->Send(data, uint32_t(size), &sent);
        if (result != 0 && result != EAGAIN) {
            stream->fSocketError = result;
            return -1;
        }
    }
    if (sent < uint32_t(size) && !stream->Keep(data + sent, uint32_t(size) - sent)) {
        stream->fSocketError = ENOMEM;
        return -1;
    }
    return size;
}

long TLSStream::ControlSocket(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;  // kept bytes go with the next call
}

bool TLSStream::Keep(const char* data, uint32_t length) {
    if (fKeptCapacity - fKeptEnd < length && fKeptStart > 0) {
        std::memmove(fKept, fKept + fKeptStart, fKeptEnd - fKeptStart);
        fKeptEnd -= fKeptStart;
        fKeptStart = 0;
    }
    if (fKeptCapacity - fKeptEnd < length) {
        // Made once; grows only for a handshake flight larger than a record.
        const uint32_t capacity =
            std::max({kFirstKeptCapacity, 2 * fKeptCapacity, fKeptEnd + length});
        char* kept = new (std::nothrow) char[capacity];
        if (kept == nullptr) return false;
        if (fKeptEnd > 0) std::memcpy(kept, fKept, fKeptEnd);
        delete[] fKept;
        fKept = kept;
        fKeptCapacity = capacity;
    }
    std::memcpy(fKept + fKeptEnd, data, length);
    fKeptEnd += length;
    return true;
}

int32_t TLSStream::SendKept() {
    while (fKeptStart < fKeptEnd) {
        uint32_t sent = 0;
        const int32_t result = fSocket->Send(fKept + fKeptStart, fKeptEnd - fKeptStart, &sent);
        if (result == EAGAIN) return EAGAIN;
        if (result != 0) {
            fError.Set(result, "the socket failed");
            return result;
        }
        fKeptStart += sent;
    }
    fKeptStart = fKeptEnd = 0;
    return 0;
}

int32_t TLSStream::Begin() {
    if (fError.fCode != 0) return fError.fCode;
    ERR_clear_error();
    fSocketError = 0;
    const int32_t kept = SendKept();
    return kept == EAGAIN ? 0 : kept;
}

int32_t TLSStream::Failed(int result, const char* what) {
    switch (SSL_get_error(fSSL, result)) {
        case SSL_ERROR_WANT_READ:  // the socket is empty
        case SSL_ERROR_WANT_WRITE:
            return EAGAIN;
        case SSL_ERROR_ZERO_RETURN:
            fPeerClosed = true;
            return kErrNotConnected;
        default:
            break;
    }
    const long verified = SSL_get_verify_result(fSSL);
    if (fSocketError != 0) {
        fError.Set(fSocketError, "the socket failed");
    } else if (verified != X509_V_OK) {
        char text[160];
        std::snprintf(text, sizeof(text), "the peer's certificate did not verify (%s)",
                      X509_verify_cert_error_string(verified));
        fError.Set(kErrTLSVerifyFailed, text);
    } else {
        fError.Set(kErrTLSFailed, what);
    }
    return fError.fCode;
}

int32_t TLSStream::Handshake() {
    if (const int32_t begun = Begin(); begun != 0) return begun;
    return Shake();
}

int32_t TLSStream::Shake() {
    if (SSL_is_init_finished(fSSL)) return 0;
    const int result = SSL_do_handshake(fSSL);
    const int32_t status = result == 1 ? 0 : Failed(result, "the handshake failed");
    fReadToTheSocket = status == EAGAIN;  // a handshake only ever waits to read
    return status;
}

int32_t TLSStream::Read(void* buffer, uint32_t size, uint32_t* outLengthRead) {
    Assert(buffer != nullptr && outLengthRead != nullptr);
    if (buffer == nullptr || outLengthRead == nullptr) return kErrNotConnected;
    *outLengthRead = 0;
    if (const int32_t begun = Begin(); begun != 0) return begun;
    if (size == 0) return 0;
    size_t received = 0;
    const int result = SSL_read_ex(fSSL, buffer, size, &received);
    const int32_t status = result == 1 ? 0 : Failed(result, "cannot read");
    fReadToTheSocket = status == EAGAIN;
    // Reading can make replies (the end of a handshake, a key update): sent now, as far as
    // the socket takes them.
    if (fError.fCode == 0) SendKept();
    *outLengthRead = uint32_t(received);
    return status;
}

int32_t TLSStream::ReadyToSend() {
    if (const int32_t begun = Begin(); begun != 0) return begun;
    if (fKeptStart < fKeptEnd) return EAGAIN;
    if (const int32_t shaken = Shake(); shaken != 0) return shaken;
    return fKeptStart < fKeptEnd ? EAGAIN : 0;
}

int32_t TLSStream::SendRecord(const char* data, uint32_t length, uint32_t* outLengthSent) {
    size_t written = 0;
    const int result = SSL_write_ex(fSSL, data, length, &written);
    if (result != 1) return Failed(result, "cannot send");
    if (outLengthSent != nullptr) *outLengthSent = uint32_t(written);
    return 0;
}

int32_t TLSStream::Send(const char* data, uint32_t length, uint32_t* outLengthSent) {
    Assert(data != nullptr);
    if (data == nullptr) return kErrNotConnected;
    if (const int32_t ready = ReadyToSend(); ready != 0) return ready;
    if (length == 0) {
        if (outLengthSent != nullptr) *outLengthSent = 0;
        return 0;
    }
    return SendRecord(data, std::min(length, kRecordSize), outLengthSent);
}

int32_t TLSStream::SendVector(const SocketBuffer* buffers, uint32_t count,
                              uint32_t* outLengthSent) {
    Assert(buffers != nullptr);
    if (buffers == nullptr) return kErrNotConnected;
    if (count == 0 || buffers[0].fLength >= kRecordSize)
        return Send(count == 0 ? "" : buffers[0].fData, count == 0 ? 0 : buffers[0].fLength,
                    outLengthSent);
    if (const int32_t ready = ReadyToSend(); ready != 0) return ready;
    // Small pieces would each make a record of their own: gathered, they make one.
    char record[kRecordSize];
    uint32_t gathered = 0;
    for (uint32_t i = 0; i < count && gathered < kRecordSize; ++i) {
        const uint32_t length = std::min(buffers[i].fLength, kRecordSize - gathered);
        if (length > 0) std::memcpy(record + gathered, buffers[i].fData, length);
        gathered += length;
    }
    if (gathered == 0) {
        if (outLengthSent != nullptr) *outLengthSent = 0;
        return 0;
    }
    return SendRecord(record, gathered, outLengthSent);
}

int32_t TLSStream::ArmEvent(uint32_t eventBits) {
    // Until the handshake is done only the peer's answer moves the stream: a writable
    // socket would signal at once, and again, while nothing can be sent.
    if (fSSL != nullptr && !SSL_is_init_finished(fSSL))
        eventBits = (eventBits & ~kWatchWrite) | kWatchRead;
    if (fKeptStart < fKeptEnd) eventBits |= kWatchWrite;
    // Bytes OpenSSL already holds (the rest of a record, records read ahead) may be all there
    // is: the socket, emptied, would never say so. After a read that stopped at the empty
    // socket they are at most part of a record, which only the socket can complete.
    if ((eventBits & kWatchRead) != 0 && !fReadToTheSocket && fSSL != nullptr &&
        SSL_has_pending(fSSL) == 1 && fSocket->GetTask() != nullptr)
        fSocket->GetTask()->Signal(Task::kReadEvent);
    return fSocket->ArmEvent(eventBits);
}

int32_t TLSStream::Close() {
    if (const int32_t begun = Begin(); begun != 0) return begun;
    if (!fCloseSent && SSL_is_init_finished(fSSL)) {
        fCloseSent = true;
        // 0 says the peer's close_notify has not come: this side does not wait for it.
        const int result = SSL_shutdown(fSSL);
        if (result < 0) {
            const int32_t failed = Failed(result, "cannot close");
            if (failed != EAGAIN) return failed;
        }
    }
    return SendKept();
}

bool TLSStream::IsEstablished() const {
    return fSSL != nullptr && SSL_is_init_finished(fSSL);
}

StrPtrLen TLSStream::Protocol() const {
    const unsigned char* protocol = nullptr;
    unsigned int length = 0;
    if (fSSL != nullptr) SSL_get0_alpn_selected(fSSL, &protocol, &length);
    // StrPtrLen does not own or change its bytes; its pointer is not const for old reasons.
    return StrPtrLen(reinterpret_cast<char*>(const_cast<unsigned char*>(protocol)), length);
}
