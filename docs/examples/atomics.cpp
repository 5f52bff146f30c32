// Counts with the lock-based atomics, and times them beside std::atomic on one thread and
// on two. The figures it prints depend on the machine; they are not checked.
#include <commonutilities/OSAtomic.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

constexpr uint32_t kRounds = 1000000;

template <typename Add>
double NanosecondsPerAdd(int threads, Add add) {
    const auto start = std::chrono::steady_clock::now();
    std::thread others[2];
    for (int i = 1; i < threads; ++i)
        others[i] = std::thread([&] {
            for (uint32_t n = 0; n < kRounds; ++n)
                add();
        });
    for (uint32_t n = 0; n < kRounds; ++n)
        add();
    for (int i = 1; i < threads; ++i)
        others[i].join();
    const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
    return took.count() / (double(kRounds) * threads);
}

}  // namespace

int main() {
    //! [flags]
    uint32_t word = 0;
    AtomicOr(&word, 0x10);                                     // returns the value before: 0
    const uint32_t count = AtomicAdd(&word, 1);                // returns the value after: 0x11
    const uint32_t swapped = CompareAndStore(0x11, 0, &word);  // 1: it stored
    const uint32_t now = AtomicRead(&word);                    // 0
    //! [flags]
    if (count != 0x11 || swapped != 1 || now != 0) return 1;

    for (int threads = 1; threads <= 2; ++threads) {
        uint32_t locked = 0;
        std::atomic<uint32_t> plain{0};
        const double lockedNs = NanosecondsPerAdd(threads, [&] { AtomicAdd(&locked, 1); });
        const double plainNs = NanosecondsPerAdd(threads, [&] { plain.fetch_add(1); });
        std::printf("%d thread(s): AtomicAdd %.1f ns, std::atomic fetch_add %.1f ns\n", threads,
                    lockedNs, plainNs);
        if (AtomicRead(&locked) != kRounds * threads || plain.load() != kRounds * threads) return 1;
    }
    return 0;
}
