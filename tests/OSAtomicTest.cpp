// Lock-based atomic operations on 32-bit words.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "OSAtomic.h"

namespace {

TEST(OSAtomic, SingleThreadedResults) {
    uint32_t word = 5;
    EXPECT_EQ(AtomicAdd(&word, 3), 8u);
    EXPECT_EQ(word, 8u);
    word = 5;
    EXPECT_EQ(AtomicSub(&word, 7), 0xFFFFFFFEu);
    word = 1;
    EXPECT_EQ(AtomicOr(&word, 0x80000000u), 1u);
    EXPECT_EQ(word, 0x80000001u);
    word = 0x80000000u;
    EXPECT_EQ(CompareAndStore(0x80000000u, 0, &word), 1u);
    EXPECT_EQ(word, 0u);
    word = 0x80000010u;
    EXPECT_EQ(CompareAndStore(0x80000000u, 0, &word), 0u);
    EXPECT_EQ(word, 0x80000010u);
    word = 0xFFFFFFFFu;
    EXPECT_EQ(AtomicAdd(&word, 1), 0u);  // wraps modulo 2^32
}

TEST(OSAtomic, ConcurrentOperationsLoseNothing) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 50000;
    uint32_t counter = 0;
    uint32_t bits = 0;
    uint32_t swaps = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                AtomicAdd(&counter, 2);
                AtomicSub(&counter, 1);
                AtomicOr(&bits, 1u << t);
                // Only one thread can move the word from each value to the next.
                for (;;) {
                    const uint32_t seen = AtomicRead(&swaps);
                    if (CompareAndStore(seen, seen + 1, &swaps)) break;
                }
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(counter, uint32_t(kThreads * kPerThread));
    EXPECT_EQ(bits, (1u << kThreads) - 1);
    EXPECT_EQ(swaps, uint32_t(kThreads * kPerThread));
}

}  // namespace
