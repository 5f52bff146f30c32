// The registry: hash values, published assertion lines, and Remove waiting for the last
// holder. Names, buckets (0 of them included), duplicates and counts over long random
// sequences are checked in RegistryFuzz.
#include <gtest/gtest.h>

#include "OSRef.h"
#include "support/TestSupport.h"
#include "support/TestThreads.h"

namespace {

using namespace std::chrono_literals;
using Texts = std::vector<std::string>;

// An entry that owns its name's bytes.
struct Named : OSRef {
    explicit Named(const std::string& name) : fBytes(name) {
        Set(StrPtrLen(fBytes.data(), uint32_t(fBytes.size())), this);
    }
    std::string fBytes;
};

OSRef* Acquire(OSRefRegistry& registry, std::string name) {
    StrPtrLen str(name.data(), uint32_t(name.size()));
    return registry.Acquire(&str);
}

TEST(OSRefRegistry, HashNameValuesAndUnhashableNames) {
    const std::pair<std::string, uint32_t> names[] = {
        {"a", 485},
        {"ab", 972},
        {"abcd", 1976},
        {"abcdefgh", 4032},                                            // below 4 bytes b(0) 4 times
        {std::string("\0\4\0\0", 4), 16},                              // message number 1024
        {"\x80", 640},                                                 // bytes are unsigned
        {std::string(4000000, '\xFF'), uint32_t(1275ull * 4000000)}};  // wraps
    for (const auto& [bytes, hash] : names)
        EXPECT_EQ(Named(bytes).fHashValue, hash) << bytes.substr(0, 8);
    char byte = 'x';
    StrPtrLen noBytes(nullptr, 4), empty(&byte, 0);
    for (auto [name, line] :
         {std::pair<StrPtrLen*, int>(nullptr, 39), {&noBytes, 40}, {&empty, 41}}) {
        ReportedAsserts asserts;
        EXPECT_EQ(OSRefRegistry::HashName(name), 0u);
        EXPECT_EQ(asserts.Take(), Texts{AssertText("OSRef", line)});
    }
}

// Each misuse reports its published line and leaves no count changed.
TEST(OSRefRegistry, MisuseReportsItsPublishedLine) {
    OSRefRegistry registry(8);
    Named held("held"), missing("missing"), counted("counted");
    ASSERT_EQ(registry.Insert(&held), 0);
    counted.fRefCount = 1;  // held before it is inserted
    const std::pair<std::function<void()>, int> misuses[] = {
        {[&] { EXPECT_EQ(registry.Insert(nullptr), OSRefRegistry::kDuplicateName); }, 57},
        {[&] { EXPECT_EQ(registry.InsertOrAcquire(nullptr), nullptr); }, 83},
        {[&] { registry.Remove(nullptr, 0); }, 106},
        {[&] { EXPECT_FALSE(registry.TryRemove(nullptr, 0)); }, 106},
        {[&] { EXPECT_EQ(registry.Acquire(nullptr), nullptr); }, 140},
        {[&] { registry.Release(nullptr); }, 156},
        {[&] { registry.Replace(nullptr); }, 169},
        {[&] { registry.Replace(&missing); }, 185},
        {[&] { registry.Release(&held); }, 162},  // without a hold: the count stays 0
        {[&] {  // one more hold would wrap the count: none is handed out
             held.fRefCount = 0xFFFFFFFF;
             EXPECT_EQ(Acquire(registry, "held"), nullptr);
             EXPECT_EQ(held.GetRefCount(), 0xFFFFFFFFu);
             held.fRefCount = 0;
         },
         149},
        {[&] { registry.InsertOrAcquire(&counted); }, 87},  // added all the same
        {[&] { EXPECT_EQ(registry.Insert(&counted), OSRefRegistry::kDuplicateName); }, 61}};
    for (const auto& [misuse, line] : misuses) {
        ReportedAsserts asserts;
        misuse();
        EXPECT_EQ(asserts.Take(), Texts{AssertText("OSRef", line)});
        EXPECT_EQ(held.GetRefCount() + counted.GetRefCount(), 1u) << line;
    }
    counted.fRefCount = 0;
    registry.Remove(&held);
    registry.Remove(&counted);
    EXPECT_EQ(registry.GetEntryCount(), 0u);
}

// Two removers wait for the last of three holds, one released on another thread. Replace
// hands the name on meanwhile, undisturbed by the removals of the old entry.
TEST(OSRefRegistry, RemoveWaitsForTheLastRelease) {
    OSRefRegistry registry(16);
    Named entry("ctx"), successor("ctx");
    ASSERT_EQ(registry.Insert(&entry), 0);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(Acquire(registry, "ctx"), &entry);
    std::atomic<int> removed{0};
    {
        BoundedThreads removers(2, [&](int) {
            registry.Remove(&entry, 0);
            removed.fetch_add(1);
        });
        OnScopeExit releaseAll([&] {  // what a failed check below left held
            while (entry.GetRefCount() > 0)
                registry.Release(&entry);
        });
        BoundedThread([&] { registry.Release(&entry); }).Join();
        registry.Replace(&successor);
        EXPECT_EQ(Acquire(registry, "ctx"), &successor);
        registry.Release(&entry);
        EXPECT_TRUE(StaysFalseFor([&] { return removed.load() > 0; }, 100ms));
        registry.Release(&entry);
        EXPECT_TRUE(WaitUntil([&] { return removed.load() == 2; }));
    }
    EXPECT_EQ(Acquire(registry, "ctx"), &successor);
    EXPECT_TRUE(registry.TryRemove(&successor, 2));
}

}  // namespace
