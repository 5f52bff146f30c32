/// @file
/// The registry of named, reference-counted entries: finds an entry by name, hands it out
/// with its count raised, takes it back, and removes it once its holders are gone.
#pragma once

#include <atomic>
#include <cstdint>

#include "OSCond.h"
#include "OSHashTable.h"
#include "OSMutex.h"
#include "OSTypes.h"
#include "StrPtrLen.h"

/// The key of the registry's table. Keys match by name alone (StrPtrLen::Equal); the hash
/// only picks the bucket.
class OSRefSearchKey {
public:
    /// The name is not copied: it must outlive the key.
    OSRefSearchKey(const StrPtrLen* name, uint32_t hashValue)
        : fName(name), fHashValue(hashValue) {}

    uint32_t GetHashValue() const { return fHashValue; }  ///< Picks the bucket.
    /// Equal names; two null names are equal.
    bool operator==(const OSRefSearchKey& other) const {
        if (fName == nullptr || other.fName == nullptr) return fName == other.fName;
        return fName->Equal(*other.fName);
    }

private:
    const StrPtrLen* fName;
    uint32_t fHashValue;
};

/// One registry entry: a name standing for an object, with the count of its holders. The
/// owner sets fObject, fName and fHashValue (or calls Set) before inserting it, keeps the
/// name's bytes unchanged while it is registered, and destroys it only after Remove.
class OSRef {
public:
    OSRef() = default;
    OSRef(const OSRef&) = delete;
    OSRef& operator=(const OSRef&) = delete;

    /// Names the object: sets fName, fObject and fHashValue from the name.
    void Set(const StrPtrLen& name, void* object);

    /// The key the table finds the entry by.
    OSRefSearchKey GetKey() const { return OSRefSearchKey(&fName, fHashValue); }
    /// The holders' count. Changed only under the registry's lock, readable anywhere.
    uint32_t GetRefCount() const { return fRefCount.load(std::memory_order_relaxed); }

    void* fObject = nullptr;             ///< What the name stands for; not owned.
    StrPtrLen fName;                     ///< The name; bytes not owned.
    std::atomic<uint32_t> fRefCount{0};  ///< The holders' count; see GetRefCount.
    OSCond fReleased;                    ///< Remove waits here for holders to release.
    uint32_t fHashValue = 0;             ///< OSRefRegistry::HashName of the name.
    OSRef* fNextInChain = nullptr;       ///< The table's chain link: null whenever in no table.

private:
    friend class OSRefRegistry;
    uint32_t fRemoveWaiters = 0;  // threads in Remove waiting on fReleased, under the lock
};

/// Named entries, found by name and held by count. Every operation takes the registry's own
/// lock: any thread.
class OSRefRegistry {
public:
    static constexpr int32_t kDuplicateName = 1;  ///< Insert's answer for a name present.
    /// A count beyond this after a release means a release without a hold (asserted).
    static constexpr uint32_t kRefCountLimit = 0x100000;

    /// A table of that many buckets (see OSHashTable).
    explicit OSRefRegistry(uint32_t bucketCount);
    OSRefRegistry(const OSRefRegistry&) = delete;
    OSRefRegistry& operator=(const OSRefRegistry&) = delete;

    /// The name's hash: (b[0] + b[q] + b[2q] + b[3q] + b[n-1]) * n with n the length and
    /// q = n / 4, modulo 2^32. Takes no lock. A null or empty name is reported and hashes to 0.
    static uint32_t HashName(const StrPtrLen* name);

    /// 0 when added; kDuplicateName, changing nothing, when the name is present.
    int32_t Insert(OSRef* entry);
    /// The present entry of the same name with its count raised, or null once `entry` has
    /// been added.
    OSRef* InsertOrAcquire(OSRef* entry);
    /// Waits until the count is at most allowedCount, then unlinks the entry. Must not be
    /// called with the registry's lock held, nor by a holder waiting for itself.
    void Remove(OSRef* entry, uint32_t allowedCount = 0);
    /// False, changing nothing, when the count is above allowedCount; else unlinks it.
    Bool16 TryRemove(OSRef* entry, uint32_t allowedCount = 0);
    /// The entry of that name with its count raised, or null.
    OSRef* Acquire(const StrPtrLen* name);
    /// Gives back a hold taken by Acquire or InsertOrAcquire.
    void Release(OSRef* entry);
    /// Puts the entry in place of the present one of the same name; counts are untouched,
    /// and the old entry's holders keep it until they release it.
    void Replace(OSRef* entry);

    uint64_t GetEntryCount();  ///< The entries registered.

private:
    OSRef* AcquireLocked(const OSRefSearchKey& key);

    OSHashTable<OSRef, OSRefSearchKey> fTable;
    OSMutex fMutex;
};
