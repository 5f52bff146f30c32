// The timer heap: key order and ties, removal from the middle, growth, slot 0 and misuse.
// Long random sequences run in ContainerFuzz.
#include <gtest/gtest.h>

#include <algorithm>

#include "OSHeap.h"
#include "support/TestSupport.h"

struct OSHeapTestAccess {
    static uint32_t ArraySize(const OSHeap& heap) { return heap.fArraySize; }
};

namespace {

using Order = std::vector<int>;

// Elements with the given keys, inserted in that order.
struct Filled : std::vector<OSHeapElem> {
    Filled(OSHeap& heap, const std::vector<int64_t>& keys) : std::vector<OSHeapElem>(keys.size()) {
        for (size_t i = 0; i < keys.size(); ++i) {
            at(i).SetValue(keys[i]);
            heap.Insert(&at(i));
        }
    }
    Order Drain(OSHeap& heap) {  // the indexes, in the order ExtractMin hands them out
        Order order;
        while (OSHeapElem* elem = heap.ExtractMin())
            order.push_back(int(elem - data()));
        return order;
    }
};

// Equal keys are never exchanged: of three 5s the last moves to the root and stays there,
// of two equal children the left one rises. Removing from the middle, the element moved
// into the slot must rise (7 keys, the fourth removed) or sink (the second removed).
TEST(OSHeap, HandsOutInKeyOrderAndLeavesTiesInPlace) {
    const struct {
        std::vector<int64_t> fKeys;
        int fRemoved;  // -1: none
        Order fOrder;
    } cases[] = {{{5, 3, 9, 4, 1, -7, 0, INT64_MIN, INT64_MAX}, -1, {7, 5, 6, 4, 1, 3, 0, 2, 8}},
                 {{5, 5, 5}, -1, {0, 2, 1}},
                 {{1, 2, 2, 9}, -1, {0, 1, 2, 3}},
                 {{1, 100, 2, 101, 102, 50, 4}, 3, {0, 2, 6, 5, 1, 4}},
                 {{1, 2, 10, 3, 4, 11, 12}, 1, {0, 3, 4, 2, 5, 6}},
                 {{1, 5, 3}, 2, {0, 1}}};  // the last slot: nothing moves
    for (const auto& c : cases) {
        OSHeap heap(8);
        Filled elems(heap, c.fKeys);
        if (c.fRemoved >= 0) heap.Remove(&elems[c.fRemoved]);
        EXPECT_EQ(heap.PeekMin(), &elems[c.fOrder[0]]);
        EXPECT_EQ(elems.Drain(heap), c.fOrder);
    }
}

TEST(OSHeap, GrowsByDoublingAndKeepsEveryElement) {
    const uint32_t cases[][3] = {{0, 1, 4}, {1, 1, 4}, {1024, 1023, 2048}};  // start, fits, grown
    for (const auto& [start, fits, grown] : cases) {
        OSHeap heap(start);
        std::vector<int64_t> keys;
        for (uint32_t i = 0; i < fits; ++i)
            keys.push_back(int64_t(i * 7919 % 1024) - 500);
        Filled elems(heap, keys);
        EXPECT_EQ(OSHeapTestAccess::ArraySize(heap), std::max(start, 2u));
        OSHeapElem last;
        last.SetValue(-1000);
        heap.Insert(&last);
        EXPECT_EQ(OSHeapTestAccess::ArraySize(heap), grown);
        EXPECT_EQ(heap.ExtractMin(), &last);
        const Order order = elems.Drain(heap);
        EXPECT_EQ(order.size(), keys.size());
        EXPECT_TRUE(std::is_sorted(order.begin(), order.end(),
                                   [&](int a, int b) { return keys[a] < keys[b]; }));
    }
}

// Nothing to return is answered with null and no report: slot 0 (never used), slots past
// the end, elements free or in another heap. Inserting null or an element that is in a heap
// already is reported and refused: an element listed twice would be handed out twice.
TEST(OSHeap, AnswersNullAndRefusesMisuse) {
    OSHeap heap(4), other(4);
    EXPECT_EQ(heap.ExtractMin(), nullptr);
    Filled elems(heap, {2, 1}), elsewhere(other, {0});
    OSHeapElem free;
    ReportedAsserts asserts;
    for (uint32_t slot : {0u, 3u, 1000u})
        EXPECT_EQ(heap.RemoveAt(slot), nullptr) << slot;
    for (OSHeapElem* elem : {&free, &elsewhere[0], (OSHeapElem*)nullptr})
        EXPECT_EQ(heap.Remove(elem), nullptr);
    EXPECT_TRUE(asserts.Take().empty());
    for (OSHeapElem* elem : {(OSHeapElem*)nullptr, &elems[0], &elsewhere[0]})
        heap.Insert(elem);
    EXPECT_EQ(asserts.Take().size(), 3u);
    EXPECT_EQ(elems.Drain(heap), (Order{1, 0}));
    EXPECT_EQ(elsewhere.Drain(other), Order{0});
}

}  // namespace
