// Global operator new and delete replaced to count every allocation, and a counter that
// reports them as "allocs/op". Every thread's allocations are counted, the runtime's own
// threads included: the counter then shows what an operation allocates once warm.
//
// Include from exactly one source file per benchmark executable: it replaces the global
// operator new and delete for the whole program.
#pragma once

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace bench_alloc {
inline std::atomic<uint64_t> sAllocations{0};

inline void* CountedAllocate(std::size_t size) noexcept {
    sAllocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}

inline void* CountedAllocateOrThrow(std::size_t size) {
    if (void* block = CountedAllocate(size)) return block;
    throw std::bad_alloc();
}
}  // namespace bench_alloc

void* operator new(std::size_t size) {
    return bench_alloc::CountedAllocateOrThrow(size);
}
void* operator new[](std::size_t size) {
    return bench_alloc::CountedAllocateOrThrow(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return bench_alloc::CountedAllocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return bench_alloc::CountedAllocate(size);
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete[](void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}

namespace bench {

// Counts the allocations made from its construction until Report.
class AllocationCounter {
public:
    // Reports the count divided by the number of operations measured.
    void Report(benchmark::State& state, double operations) const {
        const uint64_t count = bench_alloc::sAllocations.load(std::memory_order_relaxed) - fStart;
        state.counters["allocs/op"] = operations > 0 ? double(count) / operations : 0.0;
    }

    // Reports the count per iteration of the timed loop.
    void Report(benchmark::State& state) const { Report(state, double(state.iterations())); }

private:
    uint64_t fStart = bench_alloc::sAllocations.load(std::memory_order_relaxed);
};

}  // namespace bench
