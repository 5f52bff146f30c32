#include "LoadConnectionTask.h"

#include <cstring>

#include "LoadClient.h"
#include "MessagePattern.h"

LoadConnectionTask::LoadConnectionTask(LoadClient* client, uint32_t id, const NetAddress& target,
                                       uint32_t messageSize)
    : fClient(client),
      fSocket(this, 0),
      fId(id),
      fTarget(target),
      fMessageSize(messageSize),
      fMessage(messageSize),
      fIncoming(messageSize > 0 ? kReadChunk : 1) {
    SetTaskName(messageSize > 0 ? "LoadConnection" : "IdleConnection");
    fMember.Join(client->Tasks());
}

LoadConnectionTask::~LoadConnectionTask() {
    if (fState == State::kRunning) fClient->Stats().fConnected.fetch_sub(1);
    fSocket.Dispose();
}

void LoadConnectionTask::Fail(std::atomic<uint64_t>& counter) {
    fClient->Stats().Count(counter);
    if (fState == State::kRunning) fClient->Stats().fConnected.fetch_sub(1);
    fState = State::kDone;
    fSocket.Dispose();
}

int32_t LoadConnectionTask::Connect() {
    if (fState == State::kStart) {
        fState = State::kConnecting;
        return fSocket.Connect(fTarget);
    }
    return fSocket.CheckConnect();
}

void LoadConnectionTask::NextMessage() {
    ++fSequence;
    FillPattern((uint64_t(fId) << 40) ^ fSequence, fMessage.data(), fMessageSize);
    fSent = 0;
    fReceived = 0;
    fMessageStart = std::chrono::steady_clock::now();
}

bool LoadConnectionTask::Exchange() {
    LoadStats& stats = fClient->Stats();
    bool moved = false;
    if (fSent < fMessageSize) {
        uint32_t sent = 0;
        const int32_t error = fSocket.Send(fMessage.data() + fSent, fMessageSize - fSent, &sent);
        if (error != 0 && error != EAGAIN) {
            Fail(stats.fClosedEarly);
            return false;
        }
        fSent += sent;
        moved = sent > 0;
    }
    // Read while sending too: a message larger than the buffers on the way would
    // otherwise leave both ends waiting for the other to read.
    const uint32_t wanted = fSent - fReceived;
    if (wanted == 0) return moved;
    uint32_t received = 0;
    const uint32_t chunk = wanted < kReadChunk ? wanted : kReadChunk;
    const int32_t error = fSocket.Read(fIncoming.data(), chunk, &received);
    if (error == EAGAIN) return moved;
    if (error != 0) {
        Fail(stats.fClosedEarly);
        return false;
    }
    if (std::memcmp(fIncoming.data(), fMessage.data() + fReceived, received) != 0) {
        Fail(stats.fCorrupted);
        return false;
    }
    fReceived += received;
    if (fReceived == fMessageSize) {
        const auto elapsed = std::chrono::steady_clock::now() - fMessageStart;
        stats.fTCPLatency.Record(
            uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count()));
        stats.Count(stats.fTCPRoundTrips);
        stats.Count(stats.fBytesVerified, fMessageSize);
        NextMessage();
    }
    return true;
}

int64_t LoadConnectionTask::Run() {
    if (TakeEvents() & kStopEvent) return -1;
    if (fState == State::kDone) return 0;  // failed: waits for the stop event
    if (fState != State::kRunning) {
        const bool first = fState == State::kStart;
        const int32_t error = Connect();
        if (error == kErrInProgress) {
            // A first attempt is armed by Connect; a signal before the end arms again.
            if (!first) fSocket.ArmEvent(kWatchWrite);
            return 0;
        }
        if (error != 0) {
            Fail(fClient->Stats().fConnectFailures);
            return 0;
        }
        fState = State::kRunning;
        fClient->Stats().fConnected.fetch_add(1);
        fSocket.SetNoDelay();
        if (fMessageSize > 0) NextMessage();
    }
    if (fMessageSize == 0) {
        // Idle: the service should send nothing and keep the connection open.
        uint32_t received = 0;
        const int32_t error = fSocket.Read(fIncoming.data(), 1, &received);
        if (error == EAGAIN) {
            fSocket.ArmEvent(kWatchRead);
        } else {
            Fail(error == 0 ? fClient->Stats().fCorrupted : fClient->Stats().fClosedEarly);
        }
        return 0;
    }
    // Bounded, so that a quick peer cannot keep this thread from its other tasks; armed
    // with data waiting, the socket is ready again at once.
    for (uint32_t turn = 0; turn < kExchangesPerRun && Exchange(); ++turn) {
    }
    if (fState == State::kDone) return 0;
    fSocket.ArmEvent(fSent < fMessageSize ? kWatchRead | kWatchWrite : kWatchRead);
    return 0;
}
