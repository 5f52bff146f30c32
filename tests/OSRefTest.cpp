// The registry; names, buckets, duplicates and counts run against a model in RegistryFuzz.

#include "OSRef.h"
#include "support/TestSupport.h"

namespace {

struct Named : OSRef {
    explicit Named(const char* name) { Set(StrPtrLen(const_cast<char*>(name)), this); }
};

// Null arguments and misuse are reported at their published lines and refused: nothing is
// added and no count changes. A release without a hold would wrap the count and leave its
// remover waiting for ever.
TEST(OSRefRegistry, MisuseReportsItsPublishedLine) {
    OSRefRegistry registry(8);
    Named held("held"), missing("missing");
    ASSERT_EQ(registry.Insert(&held), 0);
    StrPtrLen noBytes(nullptr, 4);
    const std::pair<std::function<void()>, int> misuses[] = {
        {[&] { OSRefRegistry::HashName(nullptr); }, 39},
        {[&] { OSRefRegistry::HashName(&noBytes); }, 40},
        {[&] { EXPECT_EQ(registry.Insert(nullptr), OSRefRegistry::kDuplicateName); }, 57},
        {[&] { EXPECT_EQ(registry.InsertOrAcquire(nullptr), nullptr); }, 83},
        {[&] { registry.Remove(nullptr, 0); }, 106},
        {[&] { EXPECT_EQ(registry.Acquire(nullptr), nullptr); }, 140},
        {[&] { registry.Release(nullptr); }, 156},
        {[&] { registry.Release(&held); }, 162},
        {[&] { registry.Replace(nullptr); }, 169},
        {[&] { registry.Replace(&missing); }, 185}};
    for (const auto& [misuse, line] : misuses) {
        ReportedAsserts asserts;
        misuse();
        EXPECT_EQ(asserts.Take(), std::vector<std::string>{AssertText("OSRef", line)});
        EXPECT_EQ(held.GetRefCount(), 0u) << line;
        EXPECT_EQ(registry.GetEntryCount(), 1u) << line;
    }
}

// Two removers wait for the last of two holds. Replace hands the name on meanwhile,
// undisturbed by the removals of the old entry.
TEST(OSRefRegistry, RemoveWaitsForTheLastRelease) {
    OSRefRegistry registry(16);
    Named entry("ctx"), successor("ctx");
    ASSERT_EQ(registry.Insert(&entry), 0);
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(registry.Acquire(&entry.fName), &entry);
    std::atomic<int> removed{0};
    const auto remove = [&] {
        registry.Remove(&entry, 0);
        removed.fetch_add(1);
    };
    {
        BoundedThread first(remove), second(remove);
        registry.Replace(&successor);
        OSRef* now = registry.Acquire(&entry.fName);
        EXPECT_EQ(now, &successor);
        registry.Release(now);
        EXPECT_TRUE(StaysFalseFor([&] { return removed.load() > 0; }, 100ms));
        registry.Release(&entry);  // wakes them, to find one hold left
        EXPECT_TRUE(StaysFalseFor([&] { return removed.load() > 0; }, 100ms));
        registry.Release(&entry);
        EXPECT_TRUE(WaitUntil([&] { return removed.load() == 2; }));
    }
    EXPECT_EQ(registry.Acquire(&entry.fName), &successor);
    EXPECT_TRUE(registry.TryRemove(&successor, 1));
}

}  // namespace
