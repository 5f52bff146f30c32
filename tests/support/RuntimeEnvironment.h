// Brings up the task threads and the one event loop for suites that need them, as a host
// does at start-up.
#pragma once

#include <gtest/gtest.h>

#include "EventContext.h"
#include "Socket.h"
#include "SocketUtils.h"
#include "Task.h"

class RuntimeEnvironment : public testing::Environment {
public:
    explicit RuntimeEnvironment(uint32_t taskThreads) : fTaskThreads(taskThreads) {}

    void SetUp() override {
        SocketUtils::LoadInterfaces(false);
        // The event loop runs for the life of the process: it is never destroyed.
        Socket::sEventLoop = new EventLoopThread;
        Socket::sEventLoop->Start();
        TaskThreadPool::AddThreads(fTaskThreads);
    }
    void TearDown() override { TaskThreadPool::RemoveThreads(); }

    static EventLoopThread* EventLoop() { return Socket::sEventLoop; }

private:
    uint32_t fTaskThreads;
};
