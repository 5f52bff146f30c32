// Lock-based atomic operations on 32-bit words.

#include "OSAtomic.h"
#include "support/TestSupport.h"

namespace {

// Add and Sub answer the new value, Or the old one, CompareAndStore whether it stored.
TEST(OSAtomic, ResultsAndWords) {
    uint32_t word = 0xFFFFFFFF;
    EXPECT_EQ(AtomicAdd(&word, 3), 2u);  // modulo 2^32
    EXPECT_EQ(AtomicSub(&word, 4), 0xFFFFFFFEu);
    EXPECT_EQ(AtomicOr(&word, 0x80000001), 0xFFFFFFFEu);
    EXPECT_EQ(word, 0xFFFFFFFFu);
    EXPECT_EQ(CompareAndStore(0x80000000, 0, &word), 0u);
    EXPECT_EQ(word, 0xFFFFFFFFu);
    EXPECT_EQ(CompareAndStore(0xFFFFFFFF, 7, &word), 1u);
    EXPECT_EQ(word, 7u);
}

// Each thread adds 2 and takes 1, over and over; no change is lost.
TEST(OSAtomic, ConcurrentOperationsLoseNothing) {
    uint32_t counter = 0;
    std::atomic<int> started{0};
    const auto body = [&] {
        for (started.fetch_add(1); started.load() < 3;)  // all at once, so they contend
            std::this_thread::yield();
        for (int i = 0; i < 30000; ++i) {
            AtomicAdd(&counter, 2);
            AtomicSub(&counter, 1);
        }
    };
    { BoundedThread first(body), second(body), third(body); }
    EXPECT_EQ(counter, 90000u);
}

}  // namespace
