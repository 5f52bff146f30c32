// The timer heap: key order, equal keys, removal from the middle, growth, and misuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <new>
#include <random>
#include <set>
#include <vector>

#include "OSHeap.h"
#include "support/TestSupport.h"

struct OSHeapTestAccess {
    static uint32_t ArraySize(const OSHeap& heap) { return heap.fArraySize; }
};

namespace {

// Elements with the given keys, inserted in that order.
struct Filled {
    explicit Filled(OSHeap& heap, std::vector<int64_t> keys) : fElems(keys.size()) {
        for (size_t i = 0; i < keys.size(); ++i) {
            fElems[i].SetValue(keys[i]);
            heap.Insert(&fElems[i]);
        }
    }
    OSHeapElem* operator[](size_t i) { return &fElems[i]; }
    std::vector<OSHeapElem> fElems;
};

std::vector<int64_t> DrainKeys(OSHeap& heap) {
    std::vector<int64_t> keys;
    while (OSHeapElem* elem = heap.ExtractMin())
        keys.push_back(elem->GetValue());
    return keys;
}

size_t TakeHeapAssertions() {
    const auto texts = AssertRecorder::Instance().Take();
    for (const auto& text : texts)
        EXPECT_EQ(text.rfind("_Assert: OSHeap, ", 0), 0u) << text;
    return texts.size();
}

TEST(OSHeap, ExtractsInKeyOrder) {
    OSHeap heap(1024);
    Filled elems(heap, {5, 3, 9, 3, 1, -7, 0, INT64_MIN, INT64_MAX});
    EXPECT_EQ(heap.CurrentHeapSize(), 9u);
    EXPECT_EQ(heap.PeekMin(), elems[7]);
    EXPECT_EQ(heap.CurrentHeapSize(), 9u);
    EXPECT_EQ(DrainKeys(heap), (std::vector<int64_t>{INT64_MIN, -7, 0, 1, 3, 3, 5, 9, INT64_MAX}));
}

TEST(OSHeap, EmptyHeapAnswersNull) {
    OSHeap heap(16);
    EXPECT_EQ(heap.PeekMin(), nullptr);
    EXPECT_EQ(heap.ExtractMin(), nullptr);
    EXPECT_EQ(heap.RemoveAt(1), nullptr);
    EXPECT_EQ(heap.CurrentHeapSize(), 0u);
    OSHeapElem free;
    EXPECT_EQ(heap.Remove(&free), nullptr);
}

// A move needs a strictly smaller key: after the first of three equal keys leaves, the
// last moves to the root and stays there above the second.
TEST(OSHeap, EqualKeysAreNeverExchanged) {
    OSHeap heap(8);
    Filled elems(heap, {5, 5, 5});
    EXPECT_EQ(heap.ExtractMin(), elems[0]);
    EXPECT_EQ(heap.ExtractMin(), elems[2]);
    EXPECT_EQ(heap.ExtractMin(), elems[1]);
}

// Slots: 1 holds 1, 2 and 3 hold the two 2s, 4 holds 9. The 9 moves to the root and the
// left 2 rises in its place.
TEST(OSHeap, SiftDownTakesTheLeftOfEqualChildren) {
    OSHeap heap(8);
    Filled elems(heap, {1, 2, 2, 9});
    heap.ExtractMin();
    EXPECT_EQ(heap.PeekMin(), elems[1]);
}

TEST(OSHeap, SmallStartSizeGrowsByDoubling) {
    for (uint32_t startSize : {0u, 1u}) {
        OSHeap heap(startSize);
        EXPECT_EQ(OSHeapTestAccess::ArraySize(heap), 2u);
        Filled elems(heap, {4});
        EXPECT_EQ(OSHeapTestAccess::ArraySize(heap), 2u);
        heap.Insert(elems[0]);  // refused, and no growth for it
        EXPECT_EQ(TakeHeapAssertions(), 1u);
        EXPECT_EQ(OSHeapTestAccess::ArraySize(heap), 2u);
        OSHeapElem second;
        second.SetValue(2);
        heap.Insert(&second);
        EXPECT_EQ(OSHeapTestAccess::ArraySize(heap), 4u);
        EXPECT_EQ(DrainKeys(heap), (std::vector<int64_t>{2, 4}));
    }
}

TEST(OSHeap, GrowthKeepsEveryElementAndTheOrder) {
    OSHeap heap(1024);
    std::vector<int64_t> keys;
    for (int i = 0; i < 1024; ++i)
        keys.push_back((i * 7919) % 1024 - 500);
    keys.pop_back();
    Filled elems(heap, keys);
    EXPECT_EQ(OSHeapTestAccess::ArraySize(heap), 1024u);
    OSHeapElem last;
    last.SetValue(-1000);
    heap.Insert(&last);
    EXPECT_EQ(OSHeapTestAccess::ArraySize(heap), 2048u);
    EXPECT_EQ(heap.CurrentHeapSize(), 1024u);
    keys.push_back(-1000);
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(DrainKeys(heap), keys);
}

TEST(OSHeap, RemoveAtTheLastSlotMovesNothing) {
    OSHeap heap(8);
    Filled elems(heap, {1, 5, 3});
    EXPECT_EQ(heap.RemoveAt(3), elems[2]);
    EXPECT_EQ(elems[2]->GetCurrentHeap(), nullptr);
    EXPECT_EQ(heap.RemoveAt(3), nullptr);
    EXPECT_EQ(heap.RemoveAt(1000), nullptr);
    EXPECT_EQ(DrainKeys(heap), (std::vector<int64_t>{1, 5}));
}

// Slot 0 is never used: asking for it answers null and leaves the heap alone.
TEST(OSHeap, RemoveAtSlotZeroAnswersNull) {
    OSHeap heap(8);
    Filled elems(heap, {2, 1});
    EXPECT_EQ(heap.RemoveAt(0), nullptr);
    EXPECT_EQ(heap.CurrentHeapSize(), 2u);
    EXPECT_EQ(TakeHeapAssertions(), 0u);
    EXPECT_EQ(DrainKeys(heap), (std::vector<int64_t>{1, 2}));
}

// Slots 1..7 hold 1, 100, 2, 101, 102, 50, 4. Removing 101 (slot 4) brings the 4 from the
// last slot under 100: it must rise, or the 50 would come out before it.
TEST(OSHeap, RemoveFromTheMiddleRaisesASmallerReplacement) {
    OSHeap heap(16);
    Filled elems(heap, {1, 100, 2, 101, 102, 50, 4});
    EXPECT_EQ(heap.Remove(elems[3]), elems[3]);
    EXPECT_EQ(elems[3]->GetCurrentHeap(), nullptr);
    EXPECT_EQ(DrainKeys(heap), (std::vector<int64_t>{1, 2, 4, 50, 100, 102}));
}

// Slots 1..7 hold 1, 2, 10, 3, 4, 11, 12. Removing 2 (slot 2) brings the 12 there: it must
// sink below 3, or the 10 would come out before 3.
TEST(OSHeap, RemoveFromTheMiddleSinksALargerReplacement) {
    OSHeap heap(16);
    Filled elems(heap, {1, 2, 10, 3, 4, 11, 12});
    EXPECT_EQ(heap.Remove(elems[1]), elems[1]);
    EXPECT_EQ(DrainKeys(heap), (std::vector<int64_t>{1, 3, 4, 10, 11, 12}));
}

TEST(OSHeap, RemoveOfAnElementNotInTheHeapChangesNothing) {
    OSHeap heap(8), other(8);
    Filled elems(heap, {3, 1, 2});
    Filled elsewhere(other, {0});
    OSHeapElem free;
    EXPECT_EQ(heap.Remove(&free), nullptr);
    EXPECT_EQ(heap.Remove(elsewhere[0]), nullptr);
    EXPECT_EQ(heap.Remove(nullptr), nullptr);
    EXPECT_EQ(elsewhere[0]->GetCurrentHeap(), &other);
    EXPECT_EQ(DrainKeys(heap), (std::vector<int64_t>{1, 2, 3}));
    EXPECT_EQ(TakeHeapAssertions(), 0u);
}

TEST(OSHeap, ExtractedElementCanBeKeyedAndInsertedAgain) {
    OSHeap heap(8);
    Filled elems(heap, {1, 2});
    OSHeapElem* elem = heap.ExtractMin();
    EXPECT_EQ(elem->GetCurrentHeap(), nullptr);
    elem->SetValue(3);
    heap.Insert(elem);
    EXPECT_EQ(elem->GetCurrentHeap(), &heap);
    EXPECT_EQ(DrainKeys(heap), (std::vector<int64_t>{2, 3}));
}

TEST(OSHeap, MisuseIsReportedAndNeverListsAnElementTwice) {
    OSHeap heap(8), other(8);
    Filled elems(heap, {1, 2});
    heap.Insert(nullptr);
    EXPECT_EQ(TakeHeapAssertions(), 1u);

    heap.Insert(elems[1]);
    other.Insert(elems[1]);
    EXPECT_EQ(TakeHeapAssertions(), 2u);
    EXPECT_EQ(heap.CurrentHeapSize(), 2u);
    EXPECT_EQ(other.CurrentHeapSize(), 0u);
    EXPECT_EQ(elems[1]->GetCurrentHeap(), &heap);

    // An element rebuilt while listed here, then inserted elsewhere, names the other heap.
    // Removing its stale slot is reported, and its record stays with the other heap.
    OSHeapElem* rebuilt = new (elems[0]) OSHeapElem;
    rebuilt->SetValue(1);
    other.Insert(rebuilt);
    EXPECT_EQ(heap.ExtractMin(), rebuilt);
    EXPECT_EQ(TakeHeapAssertions(), 1u);
    EXPECT_EQ(rebuilt->GetCurrentHeap(), &other);
    EXPECT_EQ(DrainKeys(heap), std::vector<int64_t>{2});
    EXPECT_EQ(other.ExtractMin(), rebuilt);
    EXPECT_EQ(rebuilt->GetCurrentHeap(), nullptr);
    EXPECT_EQ(TakeHeapAssertions(), 0u);
}

// Long mixed sequences checked against a multiset of keys. Keys come from a narrow range,
// so ties are common; the heap starts at 2 slots, so it grows along the way.
TEST(OSHeap, RandomOperationsMatchAModel) {
    constexpr int kElems = 300;
    constexpr int kSteps = 200000;
    std::mt19937 random(19700101);
    std::vector<OSHeapElem> elems(kElems);
    std::vector<bool> member(kElems, false);
    std::multiset<int64_t> model;
    OSHeap heap(2);

    auto index = [&](OSHeapElem* e) { return int(e - elems.data()); };
    // The element left the heap: it must have been a member with a key the model holds.
    auto took = [&](OSHeapElem* e) {
        const int i = index(e);
        ASSERT_TRUE(i >= 0 && i < kElems && member[i]);
        EXPECT_EQ(e->GetCurrentHeap(), nullptr);
        auto it = model.find(e->GetValue());
        ASSERT_NE(it, model.end());
        model.erase(it);
        member[i] = false;
    };

    for (int step = 0; step < kSteps; ++step) {
        const int e = random() % kElems;
        switch (random() % 6) {
            case 0:
            case 1:
                if (!member[e]) {
                    elems[e].SetValue(int64_t(random() % 41) - 20);
                    heap.Insert(&elems[e]);
                    model.insert(elems[e].GetValue());
                    member[e] = true;
                } else {
                    heap.Insert(&elems[e]);
                    ASSERT_EQ(TakeHeapAssertions(), 1u);
                }
                break;
            case 2: {
                OSHeapElem* min = heap.ExtractMin();
                if (model.empty()) {
                    ASSERT_EQ(min, nullptr);
                } else {
                    ASSERT_NE(min, nullptr);
                    ASSERT_EQ(min->GetValue(), *model.begin()) << "step " << step;
                    took(min);
                }
                break;
            }
            case 3: {
                OSHeapElem* removed = heap.Remove(&elems[e]);
                ASSERT_EQ(removed, member[e] ? &elems[e] : nullptr);
                if (removed != nullptr) took(removed);
                break;
            }
            case 4: {
                const uint32_t slot = random() % (model.size() + 3);
                OSHeapElem* removed = heap.RemoveAt(slot);
                if (slot == 0 || slot > model.size()) {
                    ASSERT_EQ(removed, nullptr);
                } else {
                    ASSERT_NE(removed, nullptr);
                    took(removed);
                }
                break;
            }
            case 5:
                if (model.empty()) {
                    ASSERT_EQ(heap.PeekMin(), nullptr);
                } else {
                    ASSERT_EQ(heap.PeekMin()->GetValue(), *model.begin());
                }
                break;
        }
        ASSERT_EQ(heap.CurrentHeapSize(), model.size());
    }
    EXPECT_EQ(DrainKeys(heap), std::vector<int64_t>(model.begin(), model.end()));
    EXPECT_EQ(TakeHeapAssertions(), 0u);
}

}  // namespace
