#include "StreamWriter.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "OSAssert.h"

StreamWriter::StreamWriter(Socket* socket, uint32_t capacity)
    : fSocketOutput(socket), fOutput(&fSocketOutput), fCapacity(capacity) {}

StreamWriter::StreamWriter(StreamOutput* output, uint32_t capacity)
    : fSocketOutput(nullptr), fOutput(output), fCapacity(capacity) {}

StreamWriter::~StreamWriter() {
    delete[] fBuffer;
}

int32_t StreamWriter::Write(const void* data, uint32_t length) {
    const WriteBuffer piece = {data, length};
    return WriteVector(&piece, 1);
}

int32_t StreamWriter::WriteVector(const WriteBuffer* pieces, uint32_t count) {
    if (fError != 0) return fError;
    Assert(pieces != nullptr || count == 0);
    // A caller's null pointer is refused before anything is taken, as the socket refuses
    // it, so that the mistake does not also cost the stream.
    if (pieces == nullptr && count != 0) return kErrNotConnected;
    uint64_t total = 0;
    for (uint32_t i = 0; i < count; ++i) {
        Assert(pieces[i].fData != nullptr || pieces[i].fLength == 0);
        if (pieces[i].fData == nullptr && pieces[i].fLength != 0) return kErrNotConnected;
        total += pieces[i].fLength;
    }
    if (total > Room()) {
        // What is kept still goes, and the socket is armed again: the signal this run was
        // woken by may have been the writer's own, and an owner refused waits for the next.
        const int32_t flushed = Flush();
        if (flushed != 0 && flushed != EAGAIN) return flushed;
        if (total > Room()) return kErrNoRoom;
    }
    Cursor cursor = {pieces, count, 0, 0};
    const int32_t result = SendThrough(&cursor);
    if (result != EAGAIN) return result;
    if (Keep(&cursor) != 0) return fError;
    fOutput->ArmForSending();
    return 0;
}

int32_t StreamWriter::Flush() {
    if (fError != 0) return fError;
    if (fPending == 0) return 0;
    Cursor none = {nullptr, 0, 0, 0};
    const int32_t result = SendThrough(&none);
    if (result == EAGAIN) fOutput->ArmForSending();
    return result;
}

int32_t StreamWriter::SendThrough(Cursor* cursor) {
    for (;;) {
        SocketBuffer batch[kPiecesPerSend];
        uint32_t pieces = 0;
        if (fPending > 0) {  // the ring holds at most two runs, first to last
            const uint32_t first = std::min(fPending, fCapacity - fHead);
            batch[pieces++] = {first, fBuffer + fHead};
            if (first < fPending) batch[pieces++] = {fPending - first, fBuffer};
        }
        uint32_t offset = cursor->fOffset;
        for (uint32_t i = cursor->fIndex; i < cursor->fCount && pieces < kPiecesPerSend; ++i) {
            const WriteBuffer& piece = cursor->fPieces[i];
            if (piece.fLength > offset) {
                // The platform only reads a gathered send's pieces: SocketBuffer's pointer
                // is not const for the layout of the Windows structure alone.
                char* data = const_cast<char*>(static_cast<const char*>(piece.fData));
                batch[pieces++] = {piece.fLength - offset, data + offset};
            }
            offset = 0;
        }
        if (pieces == 0) return 0;
        uint32_t sent = 0;
        const int32_t result = pieces == 1 ? fOutput->Send(batch[0].fData, batch[0].fLength, &sent)
                                           : fOutput->SendVector(batch, pieces, &sent);
        if (result != 0) {
            if (result != EAGAIN) fError = result;
            return result;
        }
        // A stream send takes at least one byte when it succeeds; were one to take none,
        // waiting for room is what stops the loop.
        if (sent == 0) return EAGAIN;
        fBytesSent += sent;
        const uint32_t fromKept = std::min(sent, fPending);
        fPending -= fromKept;
        fHead = fPending == 0 ? 0 : (fHead + fromKept) % fCapacity;  // whole runs again
        Advance(cursor, sent - fromKept);
    }
}

void StreamWriter::Advance(Cursor* cursor, uint32_t sent) {
    while (cursor->fIndex < cursor->fCount) {
        const uint32_t left = cursor->fPieces[cursor->fIndex].fLength - cursor->fOffset;
        if (sent < left) {
            cursor->fOffset += sent;
            return;
        }
        sent -= left;
        ++cursor->fIndex;
        cursor->fOffset = 0;
    }
}

int32_t StreamWriter::Keep(Cursor* cursor) {
    if (fBuffer == nullptr) {
        fBuffer = new (std::nothrow) char[fCapacity];
        if (fBuffer == nullptr) return fError = ENOMEM;
    }
    // Room() was checked for the whole write, and sending only shortened it: all of it fits.
    for (; cursor->fIndex < cursor->fCount; ++cursor->fIndex, cursor->fOffset = 0) {
        const WriteBuffer& piece = cursor->fPieces[cursor->fIndex];
        const char* data = static_cast<const char*>(piece.fData) + cursor->fOffset;
        for (uint32_t left = piece.fLength - cursor->fOffset; left > 0;) {
            const uint32_t tail = (fHead + fPending) % fCapacity;
            const uint32_t run = std::min(left, fCapacity - tail);
            std::memcpy(fBuffer + tail, data, run);
            data += run;
            left -= run;
            fPending += run;
        }
    }
    return 0;
}
