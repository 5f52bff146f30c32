#include "OSThread.h"

#include "OSAssert.h"

uint32_t OSThread::sThreadStorageIndex = 0;

void OSThread::Initialize() {
    const bool allocated = Platform::AllocateThreadSlot(&sThreadStorageIndex);
    Assert(allocated);
}

OSThread* OSThread::GetCurrent() {
    return static_cast<OSThread*>(Platform::GetThreadSlot(sThreadStorageIndex));
}

void OSThread::Sleep(uint32_t milliseconds) {
    Platform::SleepMilliseconds(milliseconds);
}

int32_t OSThread::LastErrorCode() {
    return ErrorCodeOf(Platform::LastError());
}

int32_t OSThread::ErrorCodeOf(uint32_t platformError) {
    switch (platformError) {
        case 0:
            return 0;
        case 2:  // ERROR_FILE_NOT_FOUND
        case 3:  // ERROR_PATH_NOT_FOUND
            return ENOENT;
        case 10004:  // WSAEINTR
            return EINTR;
        case 10024:  // WSAEMFILE
            return EMFILE;
        case 10035:  // WSAEWOULDBLOCK
            return EAGAIN;
        case 10036:  // WSAEINPROGRESS
            return kErrInProgress;
        case 10048:  // WSAEADDRINUSE
            return kErrAddressInUse;
        case 10049:  // WSAEADDRNOTAVAIL
            return kErrAddressNotAvailable;
        case 10045:  // WSAEOPNOTSUPP
            return kErrNotSupported;
        case 10052:  // WSAENETRESET
        case 10053:  // WSAECONNABORTED
        case 10054:  // WSAECONNRESET
            return EPIPE;
        default:  // WSAENOTCONN and everything unlisted
            return kErrNotConnected;
    }
}

OSThread::~OSThread() {
    // A thread that was never started has nothing to join.
    if (fThreadHandle != 0) {
        StopAndWaitForThread();
    } else {
        SendStopRequest();
    }
}

void OSThread::RunEntry(void* raw) {
    auto* thread = static_cast<OSThread*>(raw);
    const bool stored = Platform::SetThreadSlot(sThreadStorageIndex, thread);
    Assert(stored);
    thread->Entry();
}

void OSThread::Start() {
    fThreadHandle = Platform::StartThread(RunEntry, this);
    Assert(fThreadHandle != 0);
}

void OSThread::Join() {
    Assert(!fJoined);
    // The handle is released by the first join; waiting on it again would be undefined.
    if (fJoined || fThreadHandle == 0) return;
    fJoined = 1;
    const Platform::WaitResult result = Platform::JoinThread(fThreadHandle);
    Assert(result == Platform::WaitResult::kSignaled);
}

void OSThread::StopAndWaitForThread() {
    SendStopRequest();
    if (!fJoined) Join();
}
