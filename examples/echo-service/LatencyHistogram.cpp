#include "LatencyHistogram.h"

uint32_t LatencyHistogram::BucketOf(uint64_t value) {
    if (value < kSubBuckets) return uint32_t(value);
    const uint32_t top = 63 - uint32_t(__builtin_clzll(value));  // highest bit set
    const uint32_t octave = top - kSubBucketBits + 1;
    if (octave > kOctaves) return kBuckets - 1;
    const uint32_t sub = uint32_t(value >> (top - kSubBucketBits)) & (kSubBuckets - 1);
    return octave * kSubBuckets + sub;
}

uint64_t LatencyHistogram::LowestIn(uint32_t bucket) {
    if (bucket < kSubBuckets) return bucket;
    const uint32_t octave = bucket / kSubBuckets;
    const uint64_t sub = bucket % kSubBuckets;
    return (kSubBuckets + sub) << (octave - 1);
}

void LatencyHistogram::Reset() {
    for (auto& count : fCounts)
        count.store(0, std::memory_order_relaxed);
}

void LatencyHistogram::Add(const LatencyHistogram& other) {
    for (uint32_t i = 0; i < kBuckets; ++i) {
        fCounts[i].fetch_add(other.fCounts[i].load(std::memory_order_relaxed),
                             std::memory_order_relaxed);
    }
}

uint64_t LatencyHistogram::Count() const {
    uint64_t total = 0;
    for (const auto& count : fCounts)
        total += count.load(std::memory_order_relaxed);
    return total;
}

uint64_t LatencyHistogram::Percentile(double fraction) const {
    const uint64_t total = Count();
    if (total == 0) return 0;
    // The rank of the wanted value, 1-based: at least the first, at most the last.
    uint64_t rank = uint64_t(fraction * double(total) + 0.5);
    if (rank < 1) rank = 1;
    if (rank > total) rank = total;
    uint64_t seen = 0;
    for (uint32_t i = 0; i < kBuckets; ++i) {
        seen += fCounts[i].load(std::memory_order_relaxed);
        if (seen >= rank) {
            if (i + 1 >= kBuckets) return LowestIn(i);
            const uint64_t low = LowestIn(i);
            return low + (LowestIn(i + 1) - low) / 2;
        }
    }
    return LowestIn(kBuckets - 1);
}
