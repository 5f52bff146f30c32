#include "OSRef.h"

#include "OSAssert.h"

namespace {

// Published assertion lines of this family: they identify the assertions in logs.
constexpr int kAssertHashNullName = 39;
constexpr int kAssertHashNullBytes = 40;
constexpr int kAssertHashEmptyName = 41;
constexpr int kAssertInsertNullEntry = 57;
constexpr int kAssertInsertHeld = 61;
constexpr int kAssertInsertOrAcquireNullEntry = 83;
constexpr int kAssertInsertOrAcquireHeld = 87;
constexpr int kAssertRemoveNullEntry = 106;
constexpr int kAssertAcquireNullName = 140;
constexpr int kAssertAcquireCountWrapped = 149;
constexpr int kAssertReleaseNullEntry = 156;
constexpr int kAssertReleaseUnheld = 162;
constexpr int kAssertReplaceNullEntry = 169;
constexpr int kAssertReplaceMissing = 185;

constexpr auto kRelaxed = std::memory_order_relaxed;

}  // namespace

void OSRef::Set(const StrPtrLen& name, void* object) {
    fName = name;
    fObject = object;
    fHashValue = OSRefRegistry::HashName(&fName);
}

OSRefRegistry::OSRefRegistry(uint32_t bucketCount) : fTable(bucketCount) {}

uint32_t OSRefRegistry::HashName(const StrPtrLen* name) {
    AssertAt(name != nullptr, kAssertHashNullName);
    if (name == nullptr) return 0;
    AssertAt(name->fPtr != nullptr, kAssertHashNullBytes);
    AssertAt(name->fLen > 0, kAssertHashEmptyName);
    if (name->fPtr == nullptr || name->fLen == 0) return 0;

    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(name->fPtr);
    const uint32_t length = name->fLen;
    const uint32_t quarter = length / 4;
    const uint32_t sum = uint32_t(bytes[0]) + bytes[quarter] + bytes[2 * quarter] +
                         bytes[3 * quarter] + bytes[length - 1];
    return sum * length;
}

int32_t OSRefRegistry::Insert(OSRef* entry) {
    AssertAt(entry != nullptr, kAssertInsertNullEntry);
    if (entry == nullptr) return kDuplicateName;  // nothing to add: the table stays as it is
    AssertAt(entry->GetRefCount() == 0, kAssertInsertHeld);

    const OSRefSearchKey key(&entry->fName, HashName(&entry->fName));
    OSMutexLocker locker(&fMutex);
    if (fTable.Lookup(key) != nullptr) return kDuplicateName;
    fTable.Insert(entry);  // placed by its own fHashValue
    return 0;
}

OSRef* OSRefRegistry::InsertOrAcquire(OSRef* entry) {
    AssertAt(entry != nullptr, kAssertInsertOrAcquireNullEntry);
    if (entry == nullptr) return nullptr;
    AssertAt(entry->GetRefCount() == 0, kAssertInsertOrAcquireHeld);

    const OSRefSearchKey key(&entry->fName, HashName(&entry->fName));
    OSMutexLocker locker(&fMutex);
    if (OSRef* present = AcquireLocked(key)) return present;
    fTable.Insert(entry);
    return nullptr;
}

void OSRefRegistry::Remove(OSRef* entry, uint32_t allowedCount) {
    AssertAt(entry != nullptr, kAssertRemoveNullEntry);
    if (entry == nullptr) return;

    OSMutexLocker locker(&fMutex);
    while (entry->GetRefCount() > allowedCount) {
        // Releases come under this lock, so none is missed between the test and the wait.
        ++entry->fRemoveWaiters;
        entry->fReleased.Wait(&fMutex, 0);
        --entry->fRemoveWaiters;
    }
    fTable.Erase(entry);  // nothing happens when it was replaced meanwhile
}

Bool16 OSRefRegistry::TryRemove(OSRef* entry, uint32_t allowedCount) {
    AssertAt(entry != nullptr, kAssertRemoveNullEntry);
    if (entry == nullptr) return false;

    OSMutexLocker locker(&fMutex);
    if (entry->GetRefCount() > allowedCount) return false;
    Remove(entry, allowedCount);  // compared under this lock, so it does not wait
    return true;
}

OSRef* OSRefRegistry::Acquire(const StrPtrLen* name) {
    AssertAt(name != nullptr, kAssertAcquireNullName);
    if (name == nullptr) return nullptr;

    const OSRefSearchKey key(name, HashName(name));
    OSMutexLocker locker(&fMutex);
    return AcquireLocked(key);
}

OSRef* OSRefRegistry::AcquireLocked(const OSRefSearchKey& key) {
    OSRef* entry = fTable.Lookup(key);
    if (entry == nullptr) return nullptr;
    const uint32_t count = entry->GetRefCount() + 1;
    AssertAt(count != 0, kAssertAcquireCountWrapped);
    // A hold that cannot be counted is not handed out: a wrapped count would let Remove
    // go ahead under its holders.
    if (count == 0) return nullptr;
    entry->fRefCount.store(count, kRelaxed);
    return entry;
}

void OSRefRegistry::Release(OSRef* entry) {
    AssertAt(entry != nullptr, kAssertReleaseNullEntry);
    if (entry == nullptr) return;

    OSMutexLocker locker(&fMutex);
    const uint32_t held = entry->GetRefCount();
    AssertAt(held - 1 < kRefCountLimit, kAssertReleaseUnheld);
    // A release without a hold leaves the count at 0: wrapped, it would keep every later
    // Remove of the entry waiting for ever.
    if (held > 0) entry->fRefCount.store(held - 1, kRelaxed);
    // Every remover re-examines the count; with none waiting there is nobody to wake.
    if (entry->fRemoveWaiters > 0) entry->fReleased.Broadcast();
}

void OSRefRegistry::Replace(OSRef* entry) {
    AssertAt(entry != nullptr, kAssertReplaceNullEntry);
    if (entry == nullptr) return;

    const OSRefSearchKey key(&entry->fName, HashName(&entry->fName));
    OSMutexLocker locker(&fMutex);
    OSRef* present = fTable.Lookup(key);
    AssertAt(present != nullptr, kAssertReplaceMissing);
    if (present == nullptr) return;
    fTable.Erase(present);
    fTable.Insert(entry);
}

uint64_t OSRefRegistry::GetEntryCount() {
    OSMutexLocker locker(&fMutex);
    return fTable.GetEntryCount();
}
