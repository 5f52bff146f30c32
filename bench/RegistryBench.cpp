// The registry's hot path (one Acquire and one Release per readiness event), its name
// hash, and counted-string search and comparison, each beside a standard-library
// reference. Every measurement reports the heap allocations per iteration ("allocs/op").
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "CountingAllocator.h"
#include "OSRef.h"
#include "StrPtrLen.h"

namespace {

using bench::AllocationCounter;

// ---- Registry: one readiness event's Acquire and Release -----------------------------------

// Contexts named by their message numbers, taken in order from 1024 as the event loop does.
struct Context {
    uint32_t fMessageNumber;
    OSRef fEntry;
};

constexpr uint32_t kFirstMessage = 1024;
constexpr uint32_t kRegistryBuckets = 1024;

void BM_OSRefRegistry_AcquireRelease(benchmark::State& state) {
    const uint32_t count = uint32_t(state.range(0));
    OSRefRegistry registry(kRegistryBuckets);
    std::vector<std::unique_ptr<Context>> contexts;
    for (uint32_t i = 0; i < count; ++i) {
        contexts.emplace_back(new Context{kFirstMessage + i, {}});
        Context& c = *contexts.back();
        c.fEntry.Set(StrPtrLen(reinterpret_cast<char*>(&c.fMessageNumber), 4), &c);
        registry.Insert(&c.fEntry);
    }
    uint32_t next = 0;
    AllocationCounter allocations;
    for (auto _ : state) {
        uint32_t message = kFirstMessage + next;
        next = next + 1 == count ? 0 : next + 1;
        StrPtrLen name(reinterpret_cast<char*>(&message), 4);
        OSRef* entry = registry.Acquire(&name);
        benchmark::DoNotOptimize(entry->fObject);
        registry.Release(entry);
    }
    allocations.Report(state);
}
BENCHMARK(BM_OSRefRegistry_AcquireRelease)->Arg(16)->Arg(1024);

// The same event with a standard map: lock, find and count up; lock and count down.
void BM_StdUnorderedMap_AcquireRelease(benchmark::State& state) {
    const uint32_t count = uint32_t(state.range(0));
    struct Held {
        void* fObject;
        uint32_t fRefCount;
    };
    std::unordered_map<uint32_t, Held> map;
    std::mutex mutex;
    for (uint32_t i = 0; i < count; ++i)
        map[kFirstMessage + i] = {&map, 0};
    uint32_t next = 0;
    AllocationCounter allocations;
    for (auto _ : state) {
        const uint32_t message = kFirstMessage + next;
        next = next + 1 == count ? 0 : next + 1;
        Held* held;
        {
            std::lock_guard<std::mutex> lock(mutex);
            held = &map.find(message)->second;
            ++held->fRefCount;
        }
        benchmark::DoNotOptimize(held->fObject);
        std::lock_guard<std::mutex> lock(mutex);
        --held->fRefCount;
    }
    allocations.Report(state);
}
BENCHMARK(BM_StdUnorderedMap_AcquireRelease)->Arg(16)->Arg(1024);

// ---- Name hash of a four-byte message number ------------------------------------------------

void BM_OSRefRegistry_HashName(benchmark::State& state) {
    uint32_t message = kFirstMessage;
    AllocationCounter allocations;
    for (auto _ : state) {
        StrPtrLen name(reinterpret_cast<char*>(&message), 4);
        benchmark::DoNotOptimize(OSRefRegistry::HashName(&name));
        ++message;
    }
    allocations.Report(state);
}
BENCHMARK(BM_OSRefRegistry_HashName);

void BM_StdHash_StringView(benchmark::State& state) {
    uint32_t message = kFirstMessage;
    AllocationCounter allocations;
    for (auto _ : state) {
        std::string_view name(reinterpret_cast<char*>(&message), 4);
        benchmark::DoNotOptimize(std::hash<std::string_view>()(name));
        ++message;
    }
    allocations.Report(state);
}
BENCHMARK(BM_StdHash_StringView);

// ---- Counted strings: search and case-insensitive comparison ------------------------------

const std::string kRequest =
    "GET /stream/live.sdp HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: bench/1.0\r\n"
    "Accept: application/sdp\r\nCache-Control: no-cache\r\nContent-Length: 0\r\n\r\n";

void BM_StrPtrLen_FindSubstring(benchmark::State& state) {
    std::string text = kRequest;  // no NUL within the length: searched in place
    StrPtrLen str(text.data(), uint32_t(text.size()));
    const bool caseSensitive = state.range(0) != 0;
    const char* pattern = caseSensitive ? "Content-Length" : "content-length";
    AllocationCounter allocations;
    for (auto _ : state)
        benchmark::DoNotOptimize(str.FindSubstring(pattern, nullptr, caseSensitive));
    allocations.Report(state);
}
BENCHMARK(BM_StrPtrLen_FindSubstring)->ArgName("caseSensitive")->Arg(1)->Arg(0);

void BM_StdStringView_Find(benchmark::State& state) {
    const std::string_view text = kRequest;
    const bool caseSensitive = state.range(0) != 0;
    const std::string_view pattern = caseSensitive ? "Content-Length" : "content-length";
    auto equalFolded = [](char a, char b) {
        return std::toupper(uint8_t(a)) == std::toupper(uint8_t(b));
    };
    AllocationCounter allocations;
    for (auto _ : state) {
        if (caseSensitive) {
            benchmark::DoNotOptimize(text.find(pattern));
        } else {
            benchmark::DoNotOptimize(
                std::search(text.begin(), text.end(), pattern.begin(), pattern.end(), equalFolded));
        }
    }
    allocations.Report(state);
}
BENCHMARK(BM_StdStringView_Find)->ArgName("caseSensitive")->Arg(1)->Arg(0);

void BM_StrPtrLen_EqualIgnoreCase(benchmark::State& state) {
    std::string header = "Content-Length";
    StrPtrLen str(header.data(), uint32_t(header.size()));
    AllocationCounter allocations;
    for (auto _ : state)
        benchmark::DoNotOptimize(str.EqualIgnoreCase("content-length", 14));
    allocations.Report(state);
}
BENCHMARK(BM_StrPtrLen_EqualIgnoreCase);

void BM_StdEqual_ToUpper(benchmark::State& state) {
    const std::string_view header = "Content-Length";
    const std::string_view other = "content-length";
    AllocationCounter allocations;
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::equal(
            header.begin(), header.end(), other.begin(), other.end(),
            [](char a, char b) { return std::toupper(uint8_t(a)) == std::toupper(uint8_t(b)); }));
    }
    allocations.Report(state);
}
BENCHMARK(BM_StdEqual_ToUpper);

}  // namespace
