// Registers a named session, looks it up from elsewhere, and removes it once no one holds
// it any more.
#include <commonutilities/OSRef.h>
#include <commonutilities/OSThread.h>

#include <atomic>
#include <cstdio>
#include <thread>

//! [entry]
struct Session {
    explicit Session(const char* name) {
        fRef.Set(StrPtrLen(const_cast<char*>(name)), this);  // the bytes stay the caller's
    }
    OSRef fRef;
    int fRequests = 0;
};
//! [entry]

int main() {
    //! [use]
    OSRefRegistry registry(64);
    static char name[] = "session-7";  // outlives its registration
    Session session(name);
    if (registry.Insert(&session.fRef) != 0) return 1;  // kDuplicateName if taken

    StrPtrLen wanted(name);
    if (OSRef* ref = registry.Acquire(&wanted)) {  // count raised: 1
        static_cast<Session*>(ref->fObject)->fRequests++;
        registry.Release(ref);  // every Acquire has its Release
    }
    //! [use]

    //! [remove]
    OSRef* held = registry.Acquire(&wanted);
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        registry.Remove(&session.fRef);  // waits until the count is 0
        removed = true;
    });
    OSThread::Sleep(50);
    const bool waited = !removed;  // still waiting for the hold
    registry.Release(held);        // the last hold: Remove goes ahead
    remover.join();
    //! [remove]
    std::printf("requests %d, removal waited for the hold: %s, entries left %llu\n",
                session.fRequests, waited ? "yes" : "no",
                (unsigned long long)registry.GetEntryCount());
    return session.fRequests == 1 && waited && registry.GetEntryCount() == 0 &&
                   registry.Acquire(&wanted) == nullptr
               ? 0
               : 1;
}
