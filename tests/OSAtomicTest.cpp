// Lock-based atomic operations on 32-bit words.
#include <gtest/gtest.h>

#include "OSAtomic.h"
#include "support/TestThreads.h"

namespace {

TEST(OSAtomic, ResultsAndWords) {
    const struct {
        uint32_t fBefore;
        std::function<uint32_t(uint32_t*)> fOperation;
        uint32_t fResult, fAfter;
    } cases[] = {
        {5, [](uint32_t* w) { return AtomicAdd(w, 3); }, 8, 8},
        {0xFFFFFFFF, [](uint32_t* w) { return AtomicAdd(w, 1); }, 0, 0},
        {5, [](uint32_t* w) { return AtomicSub(w, 7); }, 0xFFFFFFFE, 0xFFFFFFFE},
        {1, [](uint32_t* w) { return AtomicOr(w, 0x80000000); }, 1, 0x80000001},
        {0x80000000, [](uint32_t* w) { return CompareAndStore(0x80000000, 0, w); }, 1, 0},
        {0x80000010, [](uint32_t* w) { return CompareAndStore(0x80000000, 0, w); }, 0, 0x80000010},
    };
    for (const auto& c : cases) {
        uint32_t word = c.fBefore;
        EXPECT_EQ(c.fOperation(&word), c.fResult) << &c - cases;
        EXPECT_EQ(word, c.fAfter) << &c - cases;
    }
}

// Each thread adds 2, takes 1 and moves the word on by compare-and-store; none is lost.
TEST(OSAtomic, ConcurrentOperationsLoseNothing) {
    uint32_t counter = 0, swaps = 0;
    BoundedThreads(3, [&](int) {
        for (int i = 0; i < 30000; ++i) {
            AtomicAdd(&counter, 2);
            AtomicSub(&counter, 1);
            for (uint32_t seen = AtomicRead(&swaps); !CompareAndStore(seen, seen + 1, &swaps);)
                seen = AtomicRead(&swaps);
        }
    });
    EXPECT_EQ(counter, 90000u);
    EXPECT_EQ(swaps, 90000u);
}

}  // namespace
