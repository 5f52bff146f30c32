#include "OSHeap.h"

#include <algorithm>

#include "OSAssert.h"

// Slot i has children 2i and 2i+1 and parent i/2. The sifts carry the moving element in a
// hole rather than exchanging it step by step: the same moves, half the writes. A move
// happens only when the one going up is strictly smaller, so equal keys stay put.

OSHeap::OSHeap(uint32_t startSize)
    : fItems(nullptr), fFreeIndex(1), fArraySize(std::max<uint32_t>(startSize, 2)) {
    fItems = new OSHeapElem*[fArraySize]();
}

OSHeap::~OSHeap() {
    delete[] fItems;
}

void OSHeap::Grow() {
    OSHeapElem** items = new OSHeapElem*[fArraySize * 2]();
    std::copy(fItems + 1, fItems + fFreeIndex, items + 1);
    delete[] fItems;
    fItems = items;
    fArraySize *= 2;
}

void OSHeap::Insert(OSHeapElem* elem) {
    Assert(elem != nullptr);
    if (elem == nullptr) return;
    Assert(elem->fCurrentHeap == nullptr);
    if (elem->fCurrentHeap != nullptr) return;

    if (fFreeIndex == fArraySize) Grow();
    elem->fCurrentHeap = this;
    SiftUp(fFreeIndex++, elem);
}

OSHeapElem* OSHeap::RemoveAt(uint32_t index) {
    if (index == 0 || index >= fFreeIndex) return nullptr;
    OSHeapElem* victim = fItems[index];
    // An element that names another heap belongs to that heap now: its stale slot here
    // is dropped, but its record is left for its own heap.
    Assert(victim->fCurrentHeap == this);
    if (victim->fCurrentHeap == this) victim->fCurrentHeap = nullptr;

    OSHeapElem* last = fItems[--fFreeIndex];
    if (index == fFreeIndex) return victim;
    if (index > 1 && last->fValue < fItems[index / 2]->fValue) {
        SiftUp(index, last);
    } else {
        SiftDown(index, last);
    }
    return victim;
}

OSHeapElem* OSHeap::Remove(OSHeapElem* elem) {
    for (uint32_t index = 1; index < fFreeIndex; ++index) {
        if (fItems[index] == elem) return RemoveAt(index);
    }
    return nullptr;
}

void OSHeap::SiftUp(uint32_t index, OSHeapElem* elem) {
    OSHeapElem** const items = fItems;
    while (index > 1) {
        OSHeapElem* parent = items[index / 2];
        if (!(elem->fValue < parent->fValue)) break;
        items[index] = parent;
        index /= 2;
    }
    items[index] = elem;
}

void OSHeap::SiftDown(uint32_t index, OSHeapElem* elem) {
    // The smaller child, the left of two equal ones, rises if it is strictly smaller than
    // the element: the same choice as taking the smallest of the three, with the choice
    // between the children made without a branch.
    OSHeapElem** const items = fItems;
    const uint32_t end = fFreeIndex;
    for (uint32_t child = index * 2; child < end; child = index * 2) {
        if (child + 1 < end) child += items[child + 1]->fValue < items[child]->fValue;
        if (!(items[child]->fValue < elem->fValue)) break;
        items[index] = items[child];
        index = child;
    }
    items[index] = elem;
}
