#include "support/MessageNumbers.h"

#include "Socket.h"

// Registered under a number, an entry must name a context: one on no socket, so that a
// stray notification for its number finds a socket that does not match and is dropped.
struct MessageNumberHog::Entry : EventContext {
    explicit Entry(uint32_t number) : EventContext(-1, Socket::sEventLoop), fNumber(number) {
        fRequest.fSocket = -1;
        fRef.Set(StrPtrLen(reinterpret_cast<char*>(&fNumber), sizeof(fNumber)),
                 static_cast<EventContext*>(this));
    }
    uint32_t fNumber;
    OSRef fRef;
};

MessageNumberHog::MessageNumberHog() {
    OSRefRegistry& table = Socket::sEventLoop->fContextTable;
    for (uint32_t number = kFirstSocketMessage; number <= kLastSocketMessage; ++number) {
        auto entry = std::make_unique<Entry>(number);
        if (table.Insert(&entry->fRef) == 0) fHeld.push_back(std::move(entry));
    }
}

MessageNumberHog::~MessageNumberHog() {
    ReleaseAll();
}

uint32_t MessageNumberHog::Release(size_t index) {
    const uint32_t number = fHeld[index]->fNumber;
    Socket::sEventLoop->fContextTable.Remove(&fHeld[index]->fRef);
    fHeld.erase(fHeld.begin() + ptrdiff_t(index));
    return number;
}

void MessageNumberHog::ReleaseAll() {
    while (!fHeld.empty())
        Release(fHeld.size() - 1);
}
