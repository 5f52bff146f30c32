// Round-trip times in microseconds, counted in buckets a few percent wide, from any
// thread without a lock; percentiles read from the counts.
#pragma once

#include <atomic>
#include <cstdint>

class LatencyHistogram {
public:
    // 32 buckets per power of two: a bucket is at most 1/32 of its value wide.
    static constexpr uint32_t kSubBucketBits = 5;
    static constexpr uint32_t kSubBuckets = 1u << kSubBucketBits;
    static constexpr uint32_t kOctaves = 40;  // up to about 2^40 us: far beyond any run
    static constexpr uint32_t kBuckets = kSubBuckets * (kOctaves + 1);

    void Record(uint64_t microseconds) {
        fCounts[BucketOf(microseconds)].fetch_add(1, std::memory_order_relaxed);
    }
    void Reset();
    // Adds another histogram's counts to this one's.
    void Add(const LatencyHistogram& other);

    uint64_t Count() const;
    // The value below which the fraction (0 to 1) of the recorded times lie, as the middle
    // of its bucket; 0 when nothing was recorded.
    uint64_t Percentile(double fraction) const;

    static uint32_t BucketOf(uint64_t value);
    static uint64_t LowestIn(uint32_t bucket);

private:
    std::atomic<uint64_t> fCounts[kBuckets] = {};
};
