// The buffered stream writer on real loopback connections whose runtime end sends little at
// a time: driven by its task as a service drives it, and step by step from the test thread.
#include <random>

#include "StreamWriter.h"
#include "support/RuntimeEnvironment.h"
#include "support/StreamPeer.h"

namespace {

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

// Megabytes in random pieces, alone or gathered (some empty, more than a send takes), written by
// the task until refused while the peer reads slowly: a refusal takes nothing, a flush reports
// drained exactly when all went, some runs write without flushing, and at the end all is quiet.
TEST(StreamWriter, MegabytesInRandomPiecesArriveExactlyInOrderWithinTheBound) {
    for (const auto& [capacity, mostPieces] : {std::pair{4096u, 1u}, {65536, 3}, {20000, 40}}) {
        SCOPED_TRACE(capacity);
        const std::string pattern = PatternBytes(2u << 20, capacity);
        StreamPair pair;
        ASSERT_TRUE(pair.fMade);
        pair.fSocket.SetSendBufferSize(16 * 1024);
        StreamWriter writer(&pair.fSocket, capacity);
        std::minstd_rand random(capacity);
        std::atomic<size_t> accepted{0};
        std::atomic<int> refused{0}, faults{0};
        const auto check = [&](bool holds) {
            if (!holds || writer.Pending() > capacity ||
                writer.Pending() + writer.BytesSent() != accepted)
                ++faults;
        };
        pair.fTask.fBody = [&](TaskProbe&) -> int64_t {
            if (accepted == pattern.size() || random() % 2 == 0)
                check(writer.Flush() == (writer.IsDrained() ? 0 : EAGAIN));
            while (accepted < pattern.size()) {
                const uint32_t length =
                    uint32_t(std::min<size_t>(pattern.size() - accepted, 1 + random() % capacity));
                const uint32_t count = 1 + random() % mostPieces, room = writer.Room();
                WriteBuffer pieces[40];
                for (uint32_t i = 0, at = 0, end; i < count; ++i, at = end) {
                    end = i + 1 == count ? length : at + random() % (length - at + 1);
                    pieces[i] = {&pattern[accepted + at], end - at};
                }
                const int32_t result = writer.WriteVector(pieces, count);
                if (result == kErrNoRoom) {  // bytes are kept, so the socket is armed
                    check(length > room);
                    return ++refused, 0;
                }
                accepted += result == 0 ? length : 0;
                check(result == 0);
            }
            return 0;
        };
        pair.fTask.Signal(Task::kReadEvent);
        std::string received;
        while (received.size() < pattern.size() &&
               pair.fPeer.ReceiveExactly(std::min<size_t>(4096, pattern.size() - received.size()),
                                         &received))
            std::this_thread::sleep_for(1ms);
        EXPECT_TRUE(received == pattern) << received.size() << " bytes received";
        EXPECT_TRUE(pair.fTask.Settles()) << "signalled for writing with nothing kept";
        EXPECT_EQ(faults.load(), 0);
        EXPECT_GT(refused.load(), 0);
    }
}

// Step by step, the peer not reading: a write that all goes arms nothing; one past the room is
// refused whole, one filling it taken; kept bytes and a short flush arm. After a reset every
// call refuses with it.
TEST(StreamWriter, AWritePastTheBoundIsRefusedWholeOnlyKeptBytesArmAndAnErrorStays) {
    constexpr uint32_t kCapacity = 256 * 1024;  // far more than a writable socket takes
    static const char kHello[] = "hello";
    const std::string filler = PatternBytes(kCapacity, 1);
    StreamPair pair;
    ASSERT_TRUE(pair.fMade);
    pair.fSocket.SetSendBufferSize(16 * 1024);
    StreamWriter writer(&pair.fSocket, kCapacity);
    // Later the task flushes when signalled, as a service does; until then, the test does.
    std::atomic<bool> taskFlushes{false};
    pair.fTask.fBody = [&](TaskProbe&) { return taskFlushes && writer.Flush(), int64_t(0); };
    std::string expected = kHello;
    ASSERT_EQ(writer.Write(kHello, 5), 0);
    EXPECT_TRUE(StaysFalseFor([&] { return pair.fTask.fRuns.load() > 0; }, 100ms))
        << "armed with nothing kept";
    const auto fill = [&] {  // until the peer's end is full and the writer keeps bytes
        while (writer.IsDrained() && expected.size() < (64u << 20) &&
               writer.Write(filler.data(), 4096) == 0)
            expected.append(filler, 0, 4096);
        return !writer.IsDrained();
    };
    ASSERT_TRUE(fill());
    for (const auto& [extra, fits] : {std::pair{1u, false}, {0u, true}, {1u, false}}) {
        const uint32_t length = writer.Room() + extra;
        const WriteBuffer halves[2] = {{filler.data(), length / 2},
                                       {filler.data() + length / 2, length - length / 2}};
        EXPECT_EQ(writer.WriteVector(halves, 2), fits ? 0 : kErrNoRoom) << length;
        if (fits) expected.append(filler, 0, length);
        EXPECT_EQ(writer.Pending() + writer.BytesSent(), expected.size());
    }
    taskFlushes = true;  // a flush cut short must arm again
    std::string received;
    ASSERT_TRUE(pair.fPeer.ReceiveExactly(expected.size(), &received)) << "kept, not armed";
    EXPECT_TRUE(pair.fTask.Settles());
    taskFlushes = false;
    EXPECT_TRUE(received == expected && writer.BytesSent() == expected.size());
    EXPECT_GT(pair.fTask.fRuns.load(), 1) << "every byte went in one flush";

    ASSERT_TRUE(fill());
    pair.fPeer.CloseWithReset();
    EXPECT_TRUE(WaitUntil([&] { return writer.Flush() != EAGAIN; }));
    for (const int32_t result : {writer.Flush(), writer.Write("x", 1), writer.Error()})
        EXPECT_EQ(result, EPIPE);
    EXPECT_TRUE(writer.Room() == 0 && !writer.IsDrained() &&
                writer.Pending() + writer.BytesSent() == expected.size());
}

}  // namespace
