// The reference registry driven by operation streams (insert, acquire, release, replace,
// try-remove, remove), checked against a model of names, entries and counts.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "FuzzSupport.h"
#include "OSRef.h"

namespace {

constexpr uint32_t kNames = 6;
constexpr uint32_t kEntriesPerName = 3;

struct Entry {
    OSRef fRef;
    uint32_t fName = 0;
    uint32_t fHeld = 0;  // the model's count of holds
    bool fInTable = false;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    InstallAssertLogger(&FuzzAsserts());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const int assertsBefore = FuzzAsserts().fCount;
    OSRefRegistry registry(input.Below(8));  // 0 buckets included
    // Names that differ but hash alike (abcd and acbd; the two long ones) and names that
    // differ in the hash as well.
    std::string names[kNames] = {"abcd", "acbd", "a", "\x80\x80", "longer name", "longer nbme"};
    std::vector<std::unique_ptr<Entry>> entries;
    for (uint32_t n = 0; n < kNames; ++n) {
        for (uint32_t e = 0; e < kEntriesPerName; ++e) {
            auto entry = std::make_unique<Entry>();
            entry->fName = n;
            entry->fRef.Set(StrPtrLen(names[n].data(), uint32_t(names[n].size())), entry.get());
            entries.push_back(std::move(entry));
        }
    }
    std::map<uint32_t, Entry*> present;  // the model: which entry stands for each name

    for (int step = 0; step < 400 && !input.Empty(); ++step) {
        Entry* entry = entries[input.Below(uint32_t(entries.size()))].get();
        StrPtrLen name(names[entry->fName].data(), uint32_t(names[entry->fName].size()));
        const auto standing = present.find(entry->fName);
        switch (input.Below(6)) {
            case 0: {  // Insert, or InsertOrAcquire
                if (entry->fInTable || entry->fRef.GetRefCount() != 0) break;
                const bool free = standing == present.end();
                if (input.Byte() & 1) {
                    FUZZ_CHECK((registry.Insert(&entry->fRef) == 0) == free);
                } else {
                    OSRef* got = registry.InsertOrAcquire(&entry->fRef);
                    FUZZ_CHECK(got == (free ? nullptr : &standing->second->fRef));
                    if (!free) ++standing->second->fHeld;
                }
                if (free) {
                    present[entry->fName] = entry;
                    entry->fInTable = true;
                }
                break;
            }
            case 1: {  // Acquire
                OSRef* found = registry.Acquire(&name);
                if (standing == present.end()) {
                    FUZZ_CHECK(found == nullptr);
                } else {
                    FUZZ_CHECK(found == &standing->second->fRef);
                    ++standing->second->fHeld;
                }
                break;
            }
            case 2:  // Release a hold the model knows of
                if (entry->fHeld == 0) break;
                registry.Release(&entry->fRef);
                --entry->fHeld;
                break;
            case 3:  // Replace the standing entry of the name
                if (standing == present.end() || entry->fInTable || entry->fRef.GetRefCount() != 0)
                    break;
                registry.Replace(&entry->fRef);
                standing->second->fInTable = false;
                standing->second = entry;
                entry->fInTable = true;
                break;
            case 4: {  // TryRemove with an allowed count
                const uint32_t allowed = input.Below(3);
                const bool removed = registry.TryRemove(&entry->fRef, allowed);
                FUZZ_CHECK(removed == (entry->fHeld <= allowed));
                if (removed && entry->fInTable) {
                    present.erase(entry->fName);
                    entry->fInTable = false;
                }
                break;
            }
            case 5:  // Remove, allowing the holds that exist (so it never waits)
                registry.Remove(&entry->fRef, entry->fHeld);
                if (entry->fInTable) {
                    present.erase(entry->fName);
                    entry->fInTable = false;
                }
                break;
        }
        for (const auto& each : entries)
            FUZZ_CHECK(each->fRef.GetRefCount() == each->fHeld);
        FUZZ_CHECK(registry.GetEntryCount() == present.size());
    }
    // Give every hold back and take everything out before the entries go.
    for (auto& entry : entries) {
        while (entry->fHeld > 0) {
            registry.Release(&entry->fRef);
            --entry->fHeld;
        }
        registry.Remove(&entry->fRef, 0);
    }
    FUZZ_CHECK(registry.GetEntryCount() == 0);
    // Every operation above is a correct use: nothing may be reported.
    FUZZ_CHECK(FuzzAsserts().fCount == assertsBefore);
    return 0;
}
