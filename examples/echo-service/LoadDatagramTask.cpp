#include "LoadDatagramTask.h"

#include <cstring>

#include "LoadClient.h"
#include "MessagePattern.h"

LoadDatagramTask::LoadDatagramTask(LoadClient* client, const NetAddress& target, uint32_t window,
                                   uint32_t datagramSize)
    : fClient(client),
      fSocket(this, Socket::kSocketNonBlocking),
      fTarget(target),
      fDatagramSize(datagramSize),
      fSlots(window),
      fOutgoing(datagramSize),
      fExpected(datagramSize),
      fIncoming(datagramSize + 1) {  // one more: a longer reply shows as longer
    SetTaskName("LoadDatagrams");
    fMember.Join(client->Tasks());
}

LoadDatagramTask::~LoadDatagramTask() {
    fSocket.Dispose();
}

void LoadDatagramTask::SendNext(uint32_t slot) {
    Slot& entry = fSlots[slot];
    entry.fSequence = fNextSequence++;
    entry.fSent = Clock::now();
    std::memcpy(fOutgoing.data(), &slot, 4);
    std::memcpy(fOutgoing.data() + 4, &entry.fSequence, 8);
    FillPattern(entry.fSequence, fOutgoing.data() + kHeaderSize, fDatagramSize - kHeaderSize);
    // A send that fails is a datagram lost: the loss timeout replaces it.
    fSocket.SendDatagram(fTarget, fOutgoing.data(), fDatagramSize);
}

void LoadDatagramTask::Check(const NetAddress& sender, uint32_t length) {
    LoadStats& stats = fClient->Stats();
    uint32_t slot = 0;
    uint64_t sequence = 0;
    if (sender != fTarget || length != fDatagramSize) {
        stats.Count(stats.fStrayDatagrams);
        return;
    }
    std::memcpy(&slot, fIncoming.data(), 4);
    std::memcpy(&sequence, fIncoming.data() + 4, 8);
    if (slot >= fSlots.size() || sequence == 0 || sequence >= fNextSequence) {
        stats.Count(stats.fStrayDatagrams);
        return;
    }
    if (fSlots[slot].fSequence != sequence) {
        // A reply to a datagram already counted lost and replaced.
        stats.Count(stats.fLateDatagrams);
        return;
    }
    FillPattern(sequence, fExpected.data(), fDatagramSize - kHeaderSize);
    if (std::memcmp(fIncoming.data() + kHeaderSize, fExpected.data(),
                    fDatagramSize - kHeaderSize) != 0) {
        stats.Count(stats.fCorrupted);
        SendNext(slot);
        return;
    }
    const auto elapsed = Clock::now() - fSlots[slot].fSent;
    stats.fUDPLatency.Record(
        uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count()));
    stats.Count(stats.fUDPRoundTrips);
    stats.Count(stats.fBytesVerified, fDatagramSize);
    SendNext(slot);
}

void LoadDatagramTask::ReplaceLost() {
    const auto limit = Clock::now() - std::chrono::milliseconds(kLossTimeoutMSec);
    for (uint32_t slot = 0; slot < fSlots.size(); ++slot) {
        if (fSlots[slot].fSent > limit) continue;
        fClient->Stats().Count(fClient->Stats().fLostDatagrams);
        SendNext(slot);
    }
}

int64_t LoadDatagramTask::Run() {
    const uint32_t events = TakeEvents();
    if (events & kStopEvent) return -1;
    if (!fStarted) {
        fStarted = true;
        const NetAddress any = fTarget.IsIPv6() ? NetAddress::IPv6Any(0) : NetAddress::IPv4(0, 0);
        if (fSocket.Open(Socket::kDatagramType, fTarget.GetFamily()) != 0 ||
            fSocket.Bind(any) != 0) {
            fClient->Stats().Count(fClient->Stats().fSocketErrors);
            fSocket.Dispose();
            return 0;
        }
        for (uint32_t slot = 0; slot < fSlots.size(); ++slot)
            SendNext(slot);
    }
    if (fSocket.GetSocketFD() == -1) return 0;  // could not open: waits for the stop event
    if (events & kCheckEvent) ReplaceLost();
    for (uint32_t turn = 0; turn < kRepliesPerRun; ++turn) {
        NetAddress sender;
        uint32_t length = 0;
        const int32_t error =
            fSocket.ReceiveDatagram(&sender, fIncoming.data(), uint32_t(fIncoming.size()), &length);
        if (error == EAGAIN) break;
        if (error != 0) {
            // For example the report that a datagram found no one listening.
            fClient->Stats().Count(fClient->Stats().fSocketErrors);
            continue;
        }
        Check(sender, length);
    }
    fSocket.ArmEvent(kWatchRead);
    return 0;
}
