/// @file
/// Intrusive hash table: elements carry their own hash value and chain link, so the table
/// allocates nothing per element and never owns what it links.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "OSAssert.h"
#include "OSTypes.h"

// Published assertion lines of this family.
constexpr int kAssertHashTableBuckets = 47;  ///< The bucket array could not be allocated.
constexpr int kAssertHashTableLinked = 63;   ///< An inserted element is already chained.

/// A table of elements of type T found by keys of type K. The element type T provides:
///
///     uint32_t fHashValue;   the hash that places it
///     T* fNextInChain;       null while the element is in no table
///     K GetKey();            its key, to compare with a looked-up key
///
/// The key type K provides GetHashValue() and operator==; equal keys must have equal hashes
/// for a lookup to find its element.
///
/// No lock of its own: users serialise access.
template <typename T, typename K>
class OSHashTable {
public:
    /// A power-of-two bucket count indexes by mask, any other by modulo. A count of 0 is
    /// taken as 1: there is always a bucket to put an element in.
    explicit OSHashTable(uint32_t bucketCount) {
        fBucketCount = bucketCount > 0 ? bucketCount : 1;
        fBuckets = AllocateBuckets(fBucketCount);
        AssertAt(fBuckets != nullptr, kAssertHashTableBuckets);
        if (fBuckets == nullptr) {
            // Chains still work, all in one bucket.
            fBuckets = &fSpareBucket;
            fBucketCount = 1;
        }
        fIndexMask = fBucketCount - 1;
        if ((fIndexMask & fBucketCount) != 0) fIndexMask = 0;
    }
    ~OSHashTable() {
        if (fBuckets != &fSpareBucket) delete[] fBuckets;
    }
    OSHashTable(const OSHashTable&) = delete;
    OSHashTable& operator=(const OSHashTable&) = delete;

    /// Links the element at the head of its bucket.
    void Insert(T* element) {
        AssertAt(element->fNextInChain == nullptr, kAssertHashTableLinked);
        T** head = &fBuckets[BucketIndex(element->fHashValue)];
        element->fNextInChain = *head;
        *head = element;
        ++fEntryCount;
    }

    /// Unlinks the element, found by identity; one that is not in the table is ignored.
    void Erase(T* element) {
        T** link = &fBuckets[BucketIndex(element->fHashValue)];
        while (*link != nullptr && *link != element)
            link = &(*link)->fNextInChain;
        if (*link == nullptr) return;
        *link = element->fNextInChain;
        element->fNextInChain = nullptr;
        --fEntryCount;
    }

    /// The first element of the key's bucket, from the head, whose key equals the key; null
    /// when none does.
    T* Lookup(const K& key) const {
        for (T* element = fBuckets[BucketIndex(key.GetHashValue())]; element != nullptr;
             element = element->fNextInChain) {
            if (element->GetKey() == key) return element;
        }
        return nullptr;
    }

    /// The bucket a hash value places an element in.
    uint32_t BucketIndex(uint32_t hash) const {
        return fIndexMask != 0 ? hash & fIndexMask : hash % fBucketCount;
    }
    /// The head of a bucket's chain, for walking the table; index below GetBucketCount.
    T* BucketHead(uint32_t index) const { return fBuckets[index]; }
    uint32_t GetBucketCount() const { return fBucketCount; }  ///< At least 1.
    /// The bucket count less one when it is a power of two, else 0 (indexing by modulo).
    uint32_t GetIndexMask() const { return fIndexMask; }
    uint64_t GetEntryCount() const { return fEntryCount; }  ///< The elements linked.

private:
    static T** AllocateBuckets(uint32_t count) {
        // A count whose size does not fit the address space fails like any allocation.
        if (size_t(count) > SIZE_MAX / sizeof(T*)) return nullptr;
        return new (std::nothrow) T*[count]();
    }

    T** fBuckets;
    uint32_t fBucketCount;
    uint32_t fIndexMask;
    uint64_t fEntryCount = 0;
    T* fSpareBucket = nullptr;  // the one bucket left when the array cannot be had
};
