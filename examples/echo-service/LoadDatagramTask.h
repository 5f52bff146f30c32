// The UDP side of the load client: keeps a window of datagrams in flight, each carrying
// its slot and a sequence number, checks every byte of each reply and sends the next one
// in the slot. A datagram with no reply within the loss timeout is counted lost and
// replaced by a new one.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "Task.h"
#include "TaskGroup.h"
#include "UDPSocket.h"

class LoadClient;

class LoadDatagramTask : public Task {
public:
    static constexpr uint32_t kStopEvent = 0x00010000;
    // Signalled by the client now and then, so that losses are noticed even when nothing
    // arrives.
    static constexpr uint32_t kCheckEvent = 0x00020000;
    static constexpr int64_t kLossTimeoutMSec = 1000;
    static constexpr uint32_t kHeaderSize = 12;  // slot (4 bytes), sequence number (8)
    static constexpr uint32_t kRepliesPerRun = 8;

    // The task lives until its stop event.
    LoadDatagramTask(LoadClient* client, const NetAddress& target, uint32_t window,
                     uint32_t datagramSize);
    ~LoadDatagramTask() override;

    int64_t Run() override;

private:
    struct Slot {
        uint64_t fSequence = 0;
        std::chrono::steady_clock::time_point fSent;
    };
    using Clock = std::chrono::steady_clock;

    void SendNext(uint32_t slot);
    // Checks one reply; sends the next datagram in its slot when it was right.
    void Check(const NetAddress& sender, uint32_t length);
    void ReplaceLost();

    TaskGroup::Member fMember{this};  // first: it leaves last
    LoadClient* fClient;
    UDPSocket fSocket;
    bool fStarted = false;
    NetAddress fTarget;
    uint32_t fDatagramSize;
    uint64_t fNextSequence = 1;
    std::vector<Slot> fSlots;
    std::vector<char> fOutgoing;
    std::vector<char> fExpected;
    std::vector<char> fIncoming;
};
