// The thin layer between the runtime's logic and the operating system. Each function
// stands in for one platform service; win32/ implements it with the Windows API, posix/
// with Linux. Nothing here knows about tasks, sockets or any other runtime concept.
#pragma once

#include <cstdint>
#include <vector>

#include "PlatformTypes.h"

namespace Platform {

// ---- Clock and system queries ------------------------------------------------------------

// A free-running 32-bit millisecond counter that wraps to 0 after 2^32 ms.
uint32_t TimerMilliseconds();

// Current UTC time in whole seconds since 1970-01-01.
int64_t UtcSeconds();

// The local time zone's standard bias in minutes (UTC = local time + bias). False when the
// platform cannot say.
bool TimeZoneBiasMinutes(int32_t* biasMinutes);

uint32_t ProcessorCount();

enum class PathKind { kMissing, kDirectory, kOther };
PathKind StatPath(const char* path);

// Creates one directory: 0 on success, -1 with the last error set.
int MakeOneDirectory(const char* path);

// The separator written back between directories of a path.
extern const char kPathSeparator;

// The calling thread's last error, in the Windows error-code space on every platform so
// that one table maps it to the runtime's error numbers.
uint32_t LastError();
void SetLastError(uint32_t code);

// Breaks into an attached debugger.
void BreakIntoDebugger();

// ---- Locks -------------------------------------------------------------------------------

// A plain (non-recursive is enough) mutual-exclusion lock.
class CriticalSection {
public:
    CriticalSection();
    ~CriticalSection();
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Enter();
    void Leave();
    bool TryEnter();

private:
    NativeCriticalSection fNative;
};

// Holds a critical section for its scope.
class CriticalSectionHolder {
public:
    explicit CriticalSectionHolder(CriticalSection* section) : fSection(section) {
        fSection->Enter();
    }
    ~CriticalSectionHolder() { fSection->Leave(); }
    CriticalSectionHolder(const CriticalSectionHolder&) = delete;
    CriticalSectionHolder& operator=(const CriticalSectionHolder&) = delete;

private:
    CriticalSection* fSection;
};

// A non-zero 32-bit id of the calling thread, unique among live threads. Inline where the
// platform allows it: every OSMutex operation asks for it.
inline uint32_t CurrentThreadId();

// ---- Events and waits --------------------------------------------------------------------

constexpr uint32_t kInfinite = 0xFFFFFFFF;

enum class WaitResult { kSignaled, kTimeout, kFailed };

// An auto-reset event, created not set: setting it with no waiter leaves it set, a wait
// on a set event returns at once and resets it, setting it with waiters releases one.
using EventHandle = void*;
EventHandle CreateAutoResetEvent();
bool SetEvent(EventHandle event);
WaitResult WaitEvent(EventHandle event, uint32_t timeoutMs);
bool CloseEvent(EventHandle event);

// The calling thread's own auto-reset event, made on its first call and closed when the
// thread ends; null when it cannot be made. A thread waits for one thing at a time, so one
// event serves all its waits.
EventHandle ThreadWaitEvent();

// ---- Threads and thread-local storage ----------------------------------------------------

using ThreadHandle = uintptr_t;  // 0 when no thread was created
using ThreadRoutine = void (*)(void* argument);

// Starts a thread that runs routine(argument) at once, with the default stack.
ThreadHandle StartThread(ThreadRoutine routine, void* argument);

// Waits without limit for the thread to end, then releases the handle.
WaitResult JoinThread(ThreadHandle thread);

// One process-wide slot holding a pointer per thread; reads null where never set.
bool AllocateThreadSlot(uint32_t* index);
bool SetThreadSlot(uint32_t index, void* value);
void* GetThreadSlot(uint32_t index);

void SleepMilliseconds(uint32_t milliseconds);

// What the process holds right now, for leak checks: open descriptors or handles, threads,
// and resident memory. Zero where the platform cannot say.
struct ProcessResources {
    uint32_t fHandles;
    uint32_t fThreads;
    uint64_t fResidentBytes;
};
ProcessResources CurrentProcessResources();

// ---- Readiness source --------------------------------------------------------------------
// Windows: a hidden window that WSAAsyncSelect posts socket notifications to. POSIX: one
// epoll instance with an edge-triggered registration per socket, the one-shot arming kept
// in user space. Either way: arming is one-shot and keyed by a message number, arming a
// socket that is ready already delivers at once, and one thread takes one (socket, message
// number) at a time. A socket's reads tell the source what they found (POSIX), so a read
// may answer "would block" without asking the system when the socket is known empty.

using EventSourceHandle = uintptr_t;  // 0 when there is none
using WindowProcedure = intptr_t(CU_WINAPI*)(void* window, uint32_t message, uintptr_t wParam,
                                             intptr_t lParam);

// Readiness masks in the Windows notification bits, whatever the platform.
constexpr uint32_t kNotifyRead = 0x01;
constexpr uint32_t kNotifyWrite = 0x02;
constexpr uint32_t kNotifyAccept = 0x08;
constexpr uint32_t kNotifyConnect = 0x10;
constexpr uint32_t kNotifyClose = 0x20;

bool RegisterEventWindowClass(const char* className, WindowProcedure procedure);
// Creates the source in the calling thread, which alone may take its events.
EventSourceHandle CreateEventWindow(const char* className, const char* windowName);

enum class MessageStatus {
    kMessage,      // one taken
    kNone,         // none ready, and not asked to wait
    kQuit,         // the queue was told to quit
    kInterrupted,  // a signal cut the wait short
    kFailed,       // the wait failed, with the last error set
};
// Takes one notification: with `wait`, blocks until there is one; otherwise answers kNone
// at once when none is ready.
MessageStatus GetEventMessage(EventSourceHandle source, bool wait, uint32_t* message,
                              int32_t* socket);
// Arms the socket for one notification of the mask's events under the message number; a
// mask of 0 switches its notifications off. 0, or -1 with the last error set.
int SelectSocketEvents(EventSourceHandle source, int32_t socket, uint32_t message, uint32_t mask);
// The same for a socket's first watch: whatever the source remembers of the handle is
// taken to be an earlier socket's.
int RegisterSocketEvents(EventSourceHandle source, int32_t socket, uint32_t message, uint32_t mask);
// Switches a socket off after one of its notifications was taken, where the platform does
// not do so by itself.
void DisarmDeliveredSocket(EventSourceHandle source, int32_t socket);
// Forgets the socket's arming before its handle is closed, so that a socket that gets the
// handle value next starts afresh.
void ForgetSocket(int32_t socket);
// Posts a notification with any message number for the socket, as another sender might:
// lets tests show what becomes of messages that are not the runtime's own.
bool PostEventMessage(EventSourceHandle source, uint32_t message, int32_t socket);

// Asks that the calling thread, when it wakes, not preempt the thread running on its
// processor, but run once that one waits: a dispatcher then takes a whole burst of
// notifications at once instead of one per wake-up. Nothing where the platform has no
// such hint.
void DeferWakeUps();

// ---- Sockets -----------------------------------------------------------------------------
// IPv4 throughout, IPv6 where a call takes a SocketAddressStorage or a family. Handles are
// 32-bit, -1 for none. Calls return what the Windows Sockets call returns (-1
// on failure, with the last error set) on every platform.

// Starts and stops the platform's socket library (WSAStartup on Windows). The runtime never
// calls these: a host does, before its first socket and after its last.
bool StartSocketLibrary();
void StopSocketLibrary();

// Byte order: both targets are little-endian hosts; the network is big-endian.
inline uint16_t HostToNetwork16(uint16_t value) {
    return __builtin_bswap16(value);
}
inline uint32_t HostToNetwork32(uint32_t value) {
    return __builtin_bswap32(value);
}
inline uint16_t NetworkToHost16(uint16_t value) {
    return __builtin_bswap16(value);
}
inline uint32_t NetworkToHost32(uint32_t value) {
    return __builtin_bswap32(value);
}

using SocketHandle = int32_t;
constexpr SocketHandle kInvalidSocket = -1;

constexpr int32_t kSocketStream = 1;        // SOCK_STREAM
constexpr int32_t kSocketDatagram = 2;      // SOCK_DGRAM
constexpr uint16_t kAddressFamilyInet = 2;  // AF_INET

// Laid out as the platform's sockaddr_in; port and address in network byte order.
struct SocketAddress {
    uint16_t fFamily;
    uint16_t fPort;
    uint32_t fAddress;
    uint8_t fZero[8];
};
static_assert(sizeof(SocketAddress) == 16);

// Laid out as the platform's sockaddr_in6, the same on both: the family value alone differs
// (kAddressFamilyInet6 comes with the platform's types).
struct SocketAddress6 {
    uint16_t fFamily;
    uint16_t fPort;  // network byte order
    uint32_t fFlowInfo;
    uint8_t fAddress[16];
    uint32_t fScopeId;  // host byte order
};
static_assert(sizeof(SocketAddress6) == 28);

// Room for a socket address of either family, which its fFamily tells. The IPv6 view comes
// first, so that {} clears every byte.
union SocketAddressStorage {
    SocketAddress6 fIPv6;
    SocketAddress fIPv4;
};
static_assert(sizeof(SocketAddressStorage) == 28);

// One buffer of a gathered send, laid out as the platform's WSABUF: length, then pointer.
struct SocketBuffer {
    uint32_t fLength;
    char* fData;
};

enum class SocketOption {
    kReuseAddress,        // SOL_SOCKET, SO_REUSEADDR, int
    kNoDelay,             // IPPROTO_TCP, TCP_NODELAY, int
    kKeepAlive,           // SOL_SOCKET, SO_KEEPALIVE, int
    kSendBufferSize,      // SOL_SOCKET, SO_SNDBUF, int
    kReceiveBufferSize,   // SOL_SOCKET, SO_RCVBUF, int
    kAddMembership,       // IPPROTO_IP, IP_ADD_MEMBERSHIP, group then interface
    kDropMembership,      // IPPROTO_IP, IP_DROP_MEMBERSHIP, group then interface
    kMulticastTtl,        // IPPROTO_IP, IP_MULTICAST_TTL, one byte
    kMulticastInterface,  // IPPROTO_IP, IP_MULTICAST_IF, four address bytes
    kMulticastLoop,       // IPPROTO_IP, IP_MULTICAST_LOOP, one byte
    kIPv6Only,            // IPPROTO_IPV6, IPV6_V6ONLY, int
    kIPv6JoinGroup,       // IPPROTO_IPV6, IPV6_JOIN_GROUP, 16 group bytes then the index
    kIPv6LeaveGroup,      // IPPROTO_IPV6, IPV6_LEAVE_GROUP, as above
};

SocketHandle OpenSocket(int32_t type);
// The same in the given family (kAddressFamilyInet or kAddressFamilyInet6).
SocketHandle OpenSocket(int32_t type, uint16_t family);
int CloseSocket(SocketHandle socket);
// Closes a stream socket so that the peer sees a reset, not an orderly end (a zero linger
// time). 0, or -1 with the last error set.
int CloseSocketWithReset(SocketHandle socket);
int SetSocketNonBlocking(SocketHandle socket);
int SetSocketOption(SocketHandle socket, SocketOption option, const void* value, uint32_t length);
int GetSocketOption(SocketHandle socket, SocketOption option, void* value, uint32_t* length);
int BindSocket(SocketHandle socket, const SocketAddress* address);
int GetSocketName(SocketHandle socket, SocketAddress* address);
int GetPeerName(SocketHandle socket, SocketAddress* address);
// The same for an address of either family.
int BindSocket(SocketHandle socket, const SocketAddressStorage* address);
int GetSocketName(SocketHandle socket, SocketAddressStorage* address);
int GetPeerName(SocketHandle socket, SocketAddressStorage* address);
int ListenSocket(SocketHandle socket, int32_t backlog);
// A new handle, or -1; fills the peer's address when asked.
SocketHandle AcceptSocket(SocketHandle socket, SocketAddress* peer);
// The same for a socket of either family, the new handle made non-blocking in the same
// step where the platform can; the peer's address is always filled.
SocketHandle AcceptNonBlockingSocket(SocketHandle socket, SocketAddressStorage* peer);
int ConnectSocket(SocketHandle socket, const SocketAddress* address);
int ConnectSocket(SocketHandle socket, const SocketAddressStorage* address);
// The pending error of a socket (SO_ERROR), in the runtime's last-error code space; 0 for
// none. Taking it clears it.
uint32_t TakeSocketError(SocketHandle socket);
// Shuts the sending direction down (a half-close).
int ShutdownSocketSend(SocketHandle socket);

// Bytes transferred, or -1. A send on a broken connection fails with the connection-reset
// error; it never raises a signal.
int32_t SendSocket(SocketHandle socket, const void* data, uint32_t length);
int32_t ReceiveSocket(SocketHandle socket, void* buffer, uint32_t size);
// 0 with *sent filled, or -1.
int SendSocketVector(SocketHandle socket, const SocketBuffer* buffers, uint32_t count,
                     uint32_t* sent);
int32_t SendSocketTo(SocketHandle socket, const void* data, uint32_t length,
                     const SocketAddress* address);
int32_t SendSocketTo(SocketHandle socket, const void* data, uint32_t length,
                     const SocketAddressStorage* address);
// The sender's address is written even when the call fails, as far as the platform did.
int32_t ReceiveSocketFrom(SocketHandle socket, void* buffer, uint32_t size, SocketAddress* sender);
int32_t ReceiveSocketFrom(SocketHandle socket, void* buffer, uint32_t size,
                          SocketAddressStorage* sender);

// One datagram of a batch: its bytes (fSize of room when receiving, fLength of them when
// sending) and its peer. A receive fills fLength, fPeer and fError: 0, or the last-error
// code the single receive gives for this datagram, whose bytes are then not there (one
// larger than its buffer is dropped, as the single receive drops it).
struct BatchDatagram {
    char* fData;
    uint32_t fSize;
    uint32_t fLength;
    uint32_t fError;
    SocketAddressStorage fPeer;
};
// The most datagrams one batch call takes; the caller splits longer runs.
constexpr uint32_t kMostBatchDatagrams = 64;

// Many datagrams in one call where the platform has one, as if by the single calls in turn.
// 0 with *done filled, the batch cut short where the socket would block; or -1 with the
// last error when the first datagram met a failure (would block among them).
int ReceiveSocketBatch(SocketHandle socket, BatchDatagram* batch, uint32_t count, uint32_t* done);
// Sends each datagram to its fPeer; a failure after the first datagram ends the batch and
// is the next call's to report.
int SendSocketBatch(SocketHandle socket, const BatchDatagram* batch, uint32_t count,
                    uint32_t* done);

// Dotted-decimal text of an address in network byte order, in a buffer of at least 16
// bytes.
void AddressToDottedText(uint32_t networkAddress, char* text);
// The address in network byte order, or 0xFFFFFFFF for text that is not an address.
uint32_t DottedTextToAddress(const char* text);
// The host name of an address in network byte order; false when none is found.
bool LookUpHostName(uint32_t networkAddress, char* name, uint32_t size);

enum class InterfaceListStatus {
    kListed,         // the whole list was read
    kNoProbeSocket,  // the socket needed to ask for it could not be made
    kListFailed,     // the platform refused the request
    kPartialRecord,  // the list ended inside a record; the whole records were read
};
// The host's IPv4 interface addresses in network byte order, in the platform's order,
// however many there are.
InterfaceListStatus ListInterfaceAddresses(std::vector<uint32_t>* addresses);
// An IPv6 address of an interface: its bytes in network order, and the interface's index.
struct InterfaceIPv6Address {
    uint8_t fAddress[16];
    uint32_t fInterfaceIndex;
};
// The host's IPv6 interface addresses (unicast ones), in the platform's order.
InterfaceListStatus ListInterfaceIPv6Addresses(std::vector<InterfaceIPv6Address>* addresses);

// ---- Listening and stop requests ---------------------------------------------------------

// Readies a stream socket for listening before it is bound. POSIX: the port can be bound
// again while connections of an earlier listener linger. Windows: no other socket may take
// the port while this one holds it. 0, or -1 with the last error set.
int PrepareListeningSocket(SocketHandle socket);
// Lets sockets of this and other processes bind the same address and port, the system
// sharing the incoming connections among their listeners; call before binding each. POSIX
// (SO_REUSEPORT) only: on Windows, -1 with WSAEOPNOTSUPP, since its port sharing lets a
// later socket take connections over instead of sharing them.
int SharePort(SocketHandle socket);

// Notes the user's requests to stop the process (Ctrl-C and SIGTERM on POSIX, console
// control events on Windows) instead of letting them end it; a second request after the
// first is noted ends the process as usual. False when the platform refused.
bool WatchStopRequests();
// True once a stop was requested since WatchStopRequests. Safe from any thread.
bool StopRequested();
// Requests a stop as the user would. Safe from any thread.
void RequestStop();
// Blocks until a stop is requested or the time (kInfinite: none) is up; true when one
// was. Any number of threads may wait.
bool WaitForStopRequest(uint32_t timeoutMSec);

}  // namespace Platform

// Inline definitions of the hottest calls, where the platform offers them cheaply.
#include "PlatformInline.h"
