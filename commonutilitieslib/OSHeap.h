/// @file
/// Intrusive binary min-heap on a signed 64-bit key: the timer heap of the task threads.
#pragma once

#include <cstdint>

class OSHeap;

/// The link an object embeds to sit in a heap. Set the key while the element is in no heap:
/// the heap does not notice a key that changes under it.
class OSHeapElem {
public:
    /// The enclosing object is what the element stands for; the heap never touches it.
    explicit OSHeapElem(void* enclosingObject = nullptr) : fEnclosingObject(enclosingObject) {}
    OSHeapElem(const OSHeapElem&) = delete;
    OSHeapElem& operator=(const OSHeapElem&) = delete;

    int64_t GetValue() const { return fValue; }       ///< The key; the smallest comes first.
    void SetValue(int64_t value) { fValue = value; }  ///< Only while in no heap.
    void* GetEnclosingObject() const { return fEnclosingObject; }         ///< What it stands for.
    void SetEnclosingObject(void* object) { fEnclosingObject = object; }  ///< Not owned.
    OSHeap* GetCurrentHeap() const { return fCurrentHeap; }  ///< The heap it is in, or null.

private:
    friend class OSHeap;

    int64_t fValue = 0;
    void* fEnclosingObject;
    OSHeap* fCurrentHeap = nullptr;
};

/// An array-form heap, 1-based (slot 0 is never used). It grows by doubling when full and
/// never shrinks; nothing is allocated per element. Elements with equal keys are never
/// exchanged with each other. Not thread-safe.
class OSHeap {
public:
    explicit OSHeap(uint32_t startSize);  ///< Slots to start with: at least 2.
    ~OSHeap();                            ///< Elements still inside are not touched.
    OSHeap(const OSHeap&) = delete;
    OSHeap& operator=(const OSHeap&) = delete;

    /// Adds the element by its key. An element already in a heap is refused (asserted):
    /// listing it twice would hand it out twice.
    void Insert(OSHeapElem* elem);
    /// The element of the smallest key, left in; null when empty.
    OSHeapElem* PeekMin() const { return fFreeIndex > 1 ? fItems[1] : nullptr; }
    /// The element of the smallest key, removed; null when empty.
    OSHeapElem* ExtractMin() { return RemoveAt(1); }
    /// The element in that slot, removed; null for slot 0 and for slots not occupied.
    OSHeapElem* RemoveAt(uint32_t index);
    /// Finds the element by identity (a linear scan) and removes it; null when not here.
    OSHeapElem* Remove(OSHeapElem* elem);
    /// The elements in the heap.
    uint32_t CurrentHeapSize() const { return fFreeIndex - 1; }

private:
    void Grow();
    void SiftUp(uint32_t index, OSHeapElem* elem);
    void SiftDown(uint32_t index, OSHeapElem* elem);

    OSHeapElem** fItems;
    uint32_t fFreeIndex;  // the heap holds fFreeIndex - 1 elements
    uint32_t fArraySize;  // slots in fItems, slot 0 included; always above fFreeIndex
};
