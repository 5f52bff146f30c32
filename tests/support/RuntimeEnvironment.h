// Brings up the task threads and the one event loop for suites that need them, as a host
// does at start-up.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "EventContext.h"
#include "RuntimeHost.h"
#include "Socket.h"

class RuntimeEnvironment : public testing::Environment {
public:
    explicit RuntimeEnvironment(uint32_t taskThreads) : fTaskThreads(taskThreads) {}

    void SetUp() override {
        std::string error;
        ASSERT_TRUE(RuntimeHost::Start({.fTaskThreads = fTaskThreads}, &error)) << error;
    }
    void TearDown() override {
        RuntimeHost::Stop();
        // Stopped, the runtime does not claim to start again without its threads.
        std::string error;
        EXPECT_FALSE(RuntimeHost::Start({.fTaskThreads = fTaskThreads}, &error));
    }

    static EventLoopThread* EventLoop() { return Socket::sEventLoop; }

private:
    uint32_t fTaskThreads;
};
