// Every message number the live sockets leave free, held by registry entries of the test's
// own, so that a suite reaches the process's limit without thousands of sockets.
#pragma once

#include <memory>
#include <vector>

#include "EventContext.h"

class MessageNumberHog {
public:
    // Takes every number free now from the event loop's registry.
    MessageNumberHog();
    ~MessageNumberHog();
    MessageNumberHog(const MessageNumberHog&) = delete;
    MessageNumberHog& operator=(const MessageNumberHog&) = delete;

    size_t Held() const { return fHeld.size(); }
    // Gives one held number back (the one at `index` among those held), and returns it.
    uint32_t Release(size_t index);
    void ReleaseAll();

private:
    struct Entry;
    std::vector<std::unique_ptr<Entry>> fHeld;
};
