// One TCP connection of the load client: keeps one message in flight, checks every byte
// that comes back against what was sent, and times each round trip. An idle connection
// only connects and then waits, sending nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "TCPSocket.h"
#include "Task.h"
#include "TaskGroup.h"

class LoadClient;

class LoadConnectionTask : public Task {
public:
    static constexpr uint32_t kStopEvent = 0x00010000;
    static constexpr uint32_t kReadChunk = 16 * 1024;
    static constexpr uint32_t kExchangesPerRun = 64;

    // messageSize 0 makes an idle connection. The task lives until its stop event.
    LoadConnectionTask(LoadClient* client, uint32_t id, const NetAddress& target,
                       uint32_t messageSize);
    ~LoadConnectionTask() override;

    int64_t Run() override;

private:
    enum class State { kStart, kConnecting, kRunning, kDone };

    // 0 once connected, kErrInProgress while connecting, else the failure.
    int32_t Connect();
    void NextMessage();
    // Moves what it can; false when nothing moved.
    bool Exchange();
    void Fail(std::atomic<uint64_t>& counter);

    TaskGroup::Member fMember{this};  // first: it leaves last
    LoadClient* fClient;
    TCPSocket fSocket;
    State fState = State::kStart;
    uint32_t fId;
    NetAddress fTarget;
    uint32_t fMessageSize;
    uint64_t fSequence = 0;
    uint32_t fSent = 0;
    uint32_t fReceived = 0;
    std::chrono::steady_clock::time_point fMessageStart;
    std::vector<char> fMessage;
    std::vector<char> fIncoming;
};
