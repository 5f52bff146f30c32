// The intrusive hash table and the registry: hashing, bucket placement, matching by name,
// counting holders, and Remove waiting for the last holder on another thread.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "OSHashTable.h"
#include "OSRef.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;

std::vector<std::string> Asserts() {
    return AssertRecorder::Instance().Take();
}
std::vector<std::string> OneAssert(const char* text) {
    return {text};
}

uint32_t Hash(std::string bytes) {
    StrPtrLen name(bytes.data(), uint32_t(bytes.size()));
    return OSRefRegistry::HashName(&name);
}

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

TEST(OSRefRegistry, HashNameValues) {
    EXPECT_EQ(Hash("a"), 485u);
    EXPECT_EQ(Hash("ab"), 972u);  // below four bytes the first counts four times
    EXPECT_EQ(Hash("abcd"), 1976u);
    EXPECT_EQ(Hash("abcdefgh"), 4032u);
    EXPECT_EQ(Hash(std::string("\0\4\0\0", 4)), 16u);  // message number 1024
    EXPECT_EQ(Hash("\x80"), 640u);                     // bytes are unsigned
    EXPECT_EQ(Hash(std::string(4000000, '\xFF')), uint32_t(1275ull * 4000000));
    EXPECT_EQ(Asserts(), std::vector<std::string>{});

    EXPECT_EQ(OSRefRegistry::HashName(nullptr), 0u);
    EXPECT_EQ(Asserts(), OneAssert("_Assert: OSRef, 39"));
    StrPtrLen nullBytes(nullptr, 4);
    EXPECT_EQ(OSRefRegistry::HashName(&nullBytes), 0u);
    EXPECT_EQ(Asserts(), OneAssert("_Assert: OSRef, 40"));
    char byte = 'x';
    StrPtrLen empty(&byte, 0);
    EXPECT_EQ(OSRefRegistry::HashName(&empty), 0u);
    EXPECT_EQ(Asserts(), OneAssert("_Assert: OSRef, 41"));
}

// A plain element, so the table is tested apart from the registry.
struct Elem {
    struct Key {
        uint32_t fHash;
        int fId;
        uint32_t GetHashValue() const { return fHash; }
        bool operator==(const Key& other) const { return fId == other.fId; }
    };
    Key GetKey() const { return {fHashValue, fId}; }
    uint32_t fHashValue;
    int fId;
    Elem* fNextInChain = nullptr;
};
using ElemTable = OSHashTable<Elem, Elem::Key>;

TEST(OSHashTable, BucketCountPicksMaskOrModulo) {
    ElemTable prime(2747), power(1024), one(1), zero(0);
    EXPECT_EQ(prime.GetIndexMask(), 0u);
    EXPECT_EQ(power.GetIndexMask(), 1023u);
    EXPECT_EQ(one.GetIndexMask(), 0u);
    EXPECT_EQ(zero.GetBucketCount(), 1u);  // no division by zero

    Elem a{3000, 1}, b{3000, 2}, c{0xFFFFFFFF, 3}, d{7, 4};
    prime.Insert(&a);
    EXPECT_EQ(prime.BucketHead(3000 % 2747), &a);
    power.Insert(&b);
    EXPECT_EQ(power.BucketHead(3000 & 1023), &b);
    one.Insert(&c);
    EXPECT_EQ(one.BucketHead(0), &c);
    zero.Insert(&d);
    EXPECT_EQ(zero.Lookup({7, 4}), &d);
    EXPECT_EQ(zero.Lookup({7, 5}), nullptr);
    EXPECT_EQ(Asserts(), std::vector<std::string>{});
}

TEST(OSHashTable, ChainsLinkEraseAndLookUpFromTheHead) {
    ElemTable table(4);
    Elem first{1, 1}, second{5, 2}, third{9, 3}, twin{13, 1}, stranger{1, 9};
    for (Elem* e : {&first, &second, &third, &twin})
        table.Insert(e);  // all in bucket 1
    EXPECT_EQ(table.GetEntryCount(), 4u);
    EXPECT_EQ(table.Lookup({1, 1}), &twin);  // equal keys: the newest, at the head, wins

    table.Erase(&stranger);  // not in the table: nothing changes
    EXPECT_EQ(table.GetEntryCount(), 4u);
    table.Erase(&second);  // from the middle
    EXPECT_EQ(second.fNextInChain, nullptr);
    table.Erase(&twin);  // the head
    table.Erase(&twin);  // twice: ignored
    EXPECT_EQ(table.GetEntryCount(), 2u);
    EXPECT_EQ(table.Lookup({1, 1}), &first);
    EXPECT_EQ(table.Lookup({9, 3}), &third);
    EXPECT_EQ(table.Lookup({5, 2}), nullptr);

    Elem linked{2, 7};
    linked.fNextInChain = &first;
    table.Insert(&linked);
    EXPECT_EQ(Asserts(), OneAssert("_Assert: OSHashTable, 63"));
}

TEST(OSRefRegistry, DuplicatesAndNameMatchingWithinABucket) {
    for (uint32_t buckets : {1u, 1024u, 2747u}) {
        OSRefRegistry registry(buckets);
        Named abcd("abcd"), acbd("acbd"), again("abcd");  // abcd and acbd hash alike
        ASSERT_EQ(abcd.fHashValue, acbd.fHashValue);
        EXPECT_EQ(registry.Insert(&abcd), 0);
        EXPECT_EQ(registry.Insert(&acbd), 0);
        EXPECT_EQ(registry.Insert(&again), OSRefRegistry::kDuplicateName);
        EXPECT_EQ(registry.GetEntryCount(), 2u);
        EXPECT_EQ(Acquire(registry, "abcd"), &abcd);
        EXPECT_EQ(Acquire(registry, "acbd"), &acbd);
        EXPECT_EQ(Acquire(registry, "abdc"), nullptr);
        EXPECT_EQ(registry.InsertOrAcquire(&again), &abcd);
        EXPECT_EQ(abcd.GetRefCount(), 2u);
        EXPECT_EQ(again.GetRefCount(), 0u);

        Named fresh("fresh");
        EXPECT_EQ(registry.InsertOrAcquire(&fresh), nullptr);
        EXPECT_EQ(fresh.GetRefCount(), 0u);
        EXPECT_EQ(registry.GetEntryCount(), 3u);
        for (OSRef* e : {(OSRef*)&abcd, (OSRef*)&abcd, (OSRef*)&acbd})
            registry.Release(e);
        for (OSRef* e : {(OSRef*)&abcd, (OSRef*)&acbd, (OSRef*)&fresh})
            registry.Remove(e);
        EXPECT_EQ(registry.GetEntryCount(), 0u);
        EXPECT_EQ(Asserts(), std::vector<std::string>{});
    }
}

TEST(OSRefRegistry, TryRemoveAndUnheldRelease) {
    OSRefRegistry registry(64);
    Named entry("entry");
    ASSERT_EQ(registry.Insert(&entry), 0);
    Acquire(registry, "entry");
    Acquire(registry, "entry");
    EXPECT_FALSE(registry.TryRemove(&entry, 0));
    EXPECT_EQ(Acquire(registry, "entry"), &entry);
    EXPECT_TRUE(registry.TryRemove(&entry, 3));
    EXPECT_EQ(Acquire(registry, "entry"), nullptr);
    for (int i = 0; i < 3; ++i)
        registry.Release(&entry);
    EXPECT_EQ(Asserts(), std::vector<std::string>{});

    registry.Release(&entry);  // without a hold: reported, and the count stays at 0
    EXPECT_EQ(Asserts(), OneAssert("_Assert: OSRef, 162"));
    EXPECT_EQ(entry.GetRefCount(), 0u);
    ASSERT_EQ(registry.Insert(&entry), 0);
    EXPECT_TRUE(registry.TryRemove(&entry, 0));

    entry.fRefCount = OSRefRegistry::kRefCountLimit + 1;
    registry.Release(&entry);
    EXPECT_EQ(Asserts(), OneAssert("_Assert: OSRef, 162"));
    EXPECT_EQ(entry.GetRefCount(), OSRefRegistry::kRefCountLimit);

    entry.fRefCount = 0xFFFFFFFF;  // one more hold would wrap: none is handed out
    ASSERT_EQ(registry.Insert(&entry), 0);
    EXPECT_EQ(Asserts(), OneAssert("_Assert: OSRef, 61"));
    EXPECT_EQ(Acquire(registry, "entry"), nullptr);
    EXPECT_EQ(Asserts(), OneAssert("_Assert: OSRef, 149"));
    EXPECT_EQ(entry.GetRefCount(), 0xFFFFFFFFu);
    entry.fRefCount = 0;
    registry.Remove(&entry);
}

TEST(OSRefRegistry, NullArgumentsAreReportedNotFollowed) {
    OSRefRegistry registry(8);
    Named held("held"), missing("missing");
    ASSERT_EQ(registry.Insert(&held), 0);
    EXPECT_EQ(registry.Insert(nullptr), OSRefRegistry::kDuplicateName);
    EXPECT_EQ(Asserts(), OneAssert("_Assert: OSRef, 57"));
    EXPECT_EQ(registry.InsertOrAcquire(nullptr), nullptr);
    EXPECT_EQ(Asserts(), OneAssert("_Assert: OSRef, 83"));
    registry.Remove(nullptr, 0);
    EXPECT_EQ(Asserts(), OneAssert("_Assert: OSRef, 106"));
    EXPECT_FALSE(registry.TryRemove(nullptr, 0));
    EXPECT_EQ(Asserts(), OneAssert("_Assert: OSRef, 106"));
    EXPECT_EQ(registry.Acquire(nullptr), nullptr);
    EXPECT_EQ(Asserts(), OneAssert("_Assert: OSRef, 140"));
    registry.Release(nullptr);
    EXPECT_EQ(Asserts(), OneAssert("_Assert: OSRef, 156"));
    registry.Replace(nullptr);
    EXPECT_EQ(Asserts(), OneAssert("_Assert: OSRef, 169"));
    registry.Replace(&missing);
    EXPECT_EQ(Asserts(), OneAssert("_Assert: OSRef, 185"));
    EXPECT_EQ(registry.GetEntryCount(), 1u);

    Named other("other");
    other.fRefCount = 1;
    EXPECT_EQ(registry.InsertOrAcquire(&other), nullptr);  // added all the same
    EXPECT_EQ(Asserts(), OneAssert("_Assert: OSRef, 87"));
    other.fRefCount = 0;
    registry.Remove(&held);
    registry.Remove(&other);
    EXPECT_EQ(registry.GetEntryCount(), 0u);
}

// Runs Remove on its own thread; Done tells whether it has returned.
class Remover {
public:
    Remover(OSRefRegistry& registry, OSRef* entry, uint32_t allowed)
        : fEntry(entry), fThread([this, &registry, allowed] {
              registry.Remove(fEntry, allowed);
              fDone = true;
          }) {}
    ~Remover() {
        // A remover still waiting has failed its test already: free it, so the test ends.
        if (!WaitUntil([this] { return Done(); }, 2s)) {
            fEntry->fRefCount = 0;
            WaitUntil([this] {
                fEntry->fReleased.Broadcast();
                return Done();
            });
        }
        fThread.join();
    }
    bool Done() const { return fDone; }
    // Still blocked after a moment to act (a failure shows as an early return).
    bool StaysBlocked() const {
        return !WaitUntil([this] { return Done(); }, 50ms);
    }

private:
    OSRef* fEntry;
    std::atomic<bool> fDone{false};
    std::thread fThread;
};

TEST(OSRefRegistry, RemoveWaitsForTheLastReleaseOnAnotherThread) {
    OSRefRegistry registry(16);
    Named entry("ctx1");
    ASSERT_EQ(registry.Insert(&entry), 0);
    ASSERT_EQ(Acquire(registry, "ctx1"), &entry);
    ASSERT_EQ(Acquire(registry, "ctx1"), &entry);
    std::atomic<bool> released{false};
    {
        Remover remover(registry, &entry, 0);
        Remover second(registry, &entry, 0);  // two removers: both must come back
        EXPECT_TRUE(remover.StaysBlocked());
        std::thread([&] { registry.Release(&entry); }).join();
        EXPECT_TRUE(remover.StaysBlocked());
        EXPECT_EQ(Acquire(registry, "ctx1"), &entry);  // still registered while it waits
        registry.Release(&entry);
        EXPECT_TRUE(remover.StaysBlocked());
        EXPECT_TRUE(second.StaysBlocked());
        std::thread holder([&] {
            registry.Release(&entry);
            released = true;
        });
        EXPECT_TRUE(WaitUntil([&] { return remover.Done() && second.Done(); }));
        holder.join();
    }
    EXPECT_TRUE(released);
    EXPECT_EQ(Acquire(registry, "ctx1"), nullptr);
    EXPECT_EQ(registry.GetEntryCount(), 0u);
    EXPECT_EQ(Asserts(), std::vector<std::string>{});
}

TEST(OSRefRegistry, ReplaceThenRemoveOfTheOldEntryWaitsForItsHolders) {
    OSRefRegistry registry(32);
    Named oldEntry("name"), newEntry("name");
    ASSERT_EQ(registry.Insert(&oldEntry), 0);
    ASSERT_EQ(Acquire(registry, "name"), &oldEntry);
    registry.Replace(&newEntry);
    EXPECT_EQ(Acquire(registry, "name"), &newEntry);
    {
        Remover remover(registry, &oldEntry, 0);
        EXPECT_TRUE(remover.StaysBlocked());
        registry.Release(&oldEntry);
        EXPECT_TRUE(WaitUntil([&] { return remover.Done(); }));
    }
    EXPECT_EQ(Acquire(registry, "name"), &newEntry);  // undisturbed
    EXPECT_EQ(newEntry.GetRefCount(), 2u);
    EXPECT_EQ(registry.GetEntryCount(), 1u);
    registry.Release(&newEntry);
    registry.Release(&newEntry);
    registry.Remove(&newEntry);
    EXPECT_EQ(Asserts(), std::vector<std::string>{});
}

// Event-loop style traffic on several threads while the owner keeps registering and
// removing: every hand-out is given back, and Remove never returns under a holder.
TEST(OSRefRegistry, ConcurrentHoldersAndRemovers) {
    constexpr int kNames = 8;
    OSRefRegistry registry(kNames);
    std::vector<std::unique_ptr<Named>> entries;
    for (int i = 0; i < kNames; ++i)
        entries.emplace_back(new Named("n" + std::to_string(i)));
    std::atomic<bool> stop{false};
    std::atomic<int> heldAfterRemove{0};
    std::vector<std::thread> holders;
    const auto deadline = std::chrono::steady_clock::now() + 300ms;
    // Holders that never pause can keep a remover waiting for as long as they run (on a
    // machine that runs one thread at a time, for ever); they give way after each hold and
    // give up well after the removers are done, so the test always ends.
    const auto holdersGiveUp = deadline + 20s;
    for (int t = 0; t < 3; ++t) {
        holders.emplace_back([&, t] {
            for (uint32_t i = t; !stop && std::chrono::steady_clock::now() < holdersGiveUp; ++i) {
                OSRef* entry = Acquire(registry, "n" + std::to_string(i % kNames));
                if (entry != nullptr) registry.Release(entry);
                std::this_thread::yield();
            }
        });
    }
    for (int round = 0; std::chrono::steady_clock::now() < deadline; ++round) {
        Named& entry = *entries[round % kNames];
        if (registry.Insert(&entry) != 0) continue;
        std::this_thread::yield();
        registry.Remove(&entry, 0);
        if (entry.GetRefCount() != 0) ++heldAfterRemove;
    }
    const bool removersFinishedFirst = std::chrono::steady_clock::now() < holdersGiveUp;
    stop = true;
    for (auto& t : holders)
        t.join();
    EXPECT_TRUE(removersFinishedFirst);
    EXPECT_EQ(heldAfterRemove, 0);
    EXPECT_EQ(registry.GetEntryCount(), 0u);
    EXPECT_EQ(Asserts(), std::vector<std::string>{});
}

// Random operations against a plain model: which entry holds each name, and how many
// holds each entry has.
TEST(OSRefRegistry, MatchesAModelOnRandomOperations) {
    const char* kNamesText[] = {"abcd", "acbd",     "a",           "aaaa",
                                "x",    "\x80\x80", "longer name", "longer nbme"};
    constexpr int kNameCount = 8, kEntries = 24;
    for (uint32_t buckets : {1u, 7u, 8u}) {
        OSRefRegistry registry(buckets);
        std::vector<std::unique_ptr<Named>> entries;
        for (int i = 0; i < kEntries; ++i)
            entries.emplace_back(new Named(kNamesText[i % kNameCount]));
        std::map<std::string, OSRef*> registered;
        std::map<OSRef*, uint32_t> holds;
        std::vector<OSRef*> handedOut;
        std::mt19937 random(4711 + buckets);

        for (int step = 0; step < 20000; ++step) {
            Named& e = *entries[random() % kEntries];
            const std::string name = e.fBytes;
            const bool present = registered.count(name) != 0;
            const bool linked = present && registered[name] == &e;
            const uint32_t allowed = random() % 3;
            switch (random() % 7) {
                case 0:  // entries not linked anywhere, with no holds, may be inserted
                    if (linked || holds[&e] != 0) break;
                    if (random() % 2 == 0) {
                        ASSERT_EQ(registry.Insert(&e), present ? 1 : 0);
                        if (!present) registered[name] = &e;
                    } else {
                        OSRef* got = registry.InsertOrAcquire(&e);
                        ASSERT_EQ(got, present ? registered[name] : nullptr);
                        if (got != nullptr) ++holds[got], handedOut.push_back(got);
                        if (!present) registered[name] = &e;
                    }
                    break;
                case 1:
                case 2: {
                    OSRef* got = Acquire(registry, name);
                    ASSERT_EQ(got, present ? registered[name] : nullptr);
                    if (got != nullptr) ++holds[got], handedOut.push_back(got);
                    break;
                }
                case 3:
                case 4:
                    if (handedOut.empty()) break;
                    std::swap(handedOut[random() % handedOut.size()], handedOut.back());
                    registry.Release(handedOut.back());
                    --holds[handedOut.back()];
                    handedOut.pop_back();
                    break;
                case 5:  // never waits: the count is compared under the lock
                    ASSERT_EQ(registry.TryRemove(&e, allowed), holds[&e] <= allowed);
                    if (linked && holds[&e] <= allowed) registered.erase(name);
                    break;
                case 6:
                    if (!present || linked || holds[&e] != 0) break;
                    registry.Replace(&e);
                    registered[name] = &e;
                    break;
            }
            for (OSRef* entry : handedOut)
                ASSERT_EQ(entry->GetRefCount(), holds[entry]);
            ASSERT_EQ(registry.GetEntryCount(), registered.size());
        }
        for (OSRef* entry : handedOut)
            registry.Release(entry);
        for (auto& entry : entries)
            registry.Remove(entry.get());
        EXPECT_EQ(registry.GetEntryCount(), 0u);
        EXPECT_EQ(Asserts(), std::vector<std::string>{});
    }
}

}  // namespace
