// The timer heap; ties, removals and long random sequences run in ContainerFuzz.

#include <algorithm>

#include "OSHeap.h"
#include "support/TestSupport.h"

namespace {

// Keys compared by subtraction would overflow at the extremes. From a start size of 0 (2
// slots) and of 1024 (whose 1024th element is the first not to fit), every element is
// copied into each larger array.
TEST(OSHeap, HandsOutInKeyOrderAcrossGrowth) {
    for (uint32_t start : {0u, 1024u}) {
        OSHeap heap(start);
        std::vector<OSHeapElem> elems(1024);
        std::vector<int64_t> keys, out;
        for (size_t i = 0; i < elems.size(); ++i) {  // distinct keys, in a scrambled order
            keys.push_back(i == 0   ? INT64_MAX
                           : i == 1 ? INT64_MIN
                                    : int64_t(i * 7919 % 1024) - 512);
            elems[i].SetValue(keys.back());
            heap.Insert(&elems[i]);
        }
        EXPECT_EQ(heap.RemoveAt(0), nullptr);  // slot 0 is never used
        while (OSHeapElem* elem = heap.ExtractMin())
            out.push_back(elem->GetValue());
        std::sort(keys.begin(), keys.end());
        EXPECT_EQ(out, keys) << start;
    }
}

// Inserting null, or an element that is in a heap already, is reported and refused: an
// element listed twice would be handed out twice.
TEST(OSHeap, RefusesMisuse) {
    OSHeap heap(4), other(4);
    OSHeapElem mine, theirs;
    heap.Insert(&mine);
    other.Insert(&theirs);
    ReportedAsserts asserts;
    for (OSHeapElem* elem : {(OSHeapElem*)nullptr, &mine, &theirs})
        heap.Insert(elem);
    EXPECT_EQ(asserts.Take().size(), 3u);
    EXPECT_EQ(heap.ExtractMin(), &mine);
    EXPECT_EQ(heap.ExtractMin(), nullptr);
}

}  // namespace
