// The timer heap and the intrusive queues driven by operation streams, checked after every
// step against plain standard-library models.
#include <deque>
#include <set>
#include <utility>
#include <vector>

#include "FuzzInput.h"
#include "FuzzSupport.h"
#include "OSHeap.h"
#include "OSQueue.h"

namespace {

constexpr uint32_t kElements = 48;

void RunHeap(FuzzInput& input) {
    OSHeap heap(input.Below(4));  // start tiny so growth is exercised
    std::vector<OSHeapElem> elements(kElements);
    std::multiset<std::pair<int64_t, OSHeapElem*>> model;
    for (int step = 0; step < 512 && !input.Empty(); ++step) {
        OSHeapElem* element = &elements[input.Below(kElements)];
        const bool inHeap = element->GetCurrentHeap() == &heap;
        switch (input.Below(5)) {
            case 0:
            case 1:
                if (inHeap) break;  // inserting twice is misuse, checked by the unit tests
                element->SetValue(int64_t(input.Byte() % 16) - 8);  // few keys: many ties
                heap.Insert(element);
                model.insert({element->GetValue(), element});
                break;
            case 2: {
                OSHeapElem* min = heap.ExtractMin();
                if (model.empty()) {
                    FUZZ_CHECK(min == nullptr);
                    break;
                }
                FUZZ_CHECK(min != nullptr && min->GetValue() == model.begin()->first);
                FUZZ_CHECK(model.erase({min->GetValue(), min}) == 1);
                FUZZ_CHECK(min->GetCurrentHeap() == nullptr);
                break;
            }
            case 3: {
                OSHeapElem* removed = heap.Remove(element);
                FUZZ_CHECK((removed != nullptr) == inHeap);
                if (inHeap) model.erase({element->GetValue(), element});
                break;
            }
            case 4: {  // any slot, 0 and one past the end included
                const uint32_t slot = input.Below(heap.CurrentHeapSize() + 2);
                OSHeapElem* removed = heap.RemoveAt(slot);
                if (slot == 0 || slot > model.size()) {
                    FUZZ_CHECK(removed == nullptr);
                    break;
                }
                FUZZ_CHECK(removed != nullptr && removed->GetCurrentHeap() == nullptr);
                FUZZ_CHECK(model.erase({removed->GetValue(), removed}) == 1);
                break;
            }
        }
        FUZZ_CHECK(heap.CurrentHeapSize() == model.size());
        OSHeapElem* peek = heap.PeekMin();
        FUZZ_CHECK((peek == nullptr) == model.empty());
        if (peek != nullptr) FUZZ_CHECK(peek->GetValue() == model.begin()->first);
    }
    while (OSHeapElem* element = heap.ExtractMin()) {
        FUZZ_CHECK(!model.empty() && element->GetValue() == model.begin()->first);
        model.erase({element->GetValue(), element});
    }
    FUZZ_CHECK(model.empty());
}

void RunQueues(FuzzInput& input) {
    OSQueue queues[2];
    std::deque<OSQueueElem*> models[2];
    std::vector<OSQueueElem> elements(kElements);
    auto erase = [](std::deque<OSQueueElem*>& model, OSQueueElem* element) {
        for (auto it = model.begin(); it != model.end(); ++it) {
            if (*it == element) {
                model.erase(it);
                return;
            }
        }
    };
    for (int step = 0; step < 512 && !input.Empty(); ++step) {
        const uint32_t q = input.Below(2);
        OSQueueElem* element = &elements[input.Below(kElements)];
        switch (input.Below(4)) {
            case 0:
            case 1:
                // An element queued elsewhere must be removed first; the same queue is a no-op.
                if (element->GetCurrentQueue() == &queues[1 - q]) break;
                if (element->GetCurrentQueue() != &queues[q]) models[q].push_back(element);
                queues[q].Enqueue(element);
                break;
            case 2: {
                OSQueueElem* oldest = queues[q].Dequeue();
                if (models[q].empty()) {
                    FUZZ_CHECK(oldest == nullptr);
                } else {
                    FUZZ_CHECK(oldest == models[q].front());
                    models[q].pop_front();
                }
                break;
            }
            case 3:
                // Removing from the wrong queue, or from none, changes nothing.
                if (element->GetCurrentQueue() == &queues[q]) erase(models[q], element);
                queues[q].Remove(element);
                break;
        }
        for (int i = 0; i < 2; ++i) {
            FUZZ_CHECK(queues[i].GetLength() == models[i].size());
            FUZZ_CHECK(queues[i].GetHead() == (models[i].empty() ? nullptr : models[i].back()));
            size_t index = 0;
            for (OSQueueIterator it(&queues[i]); !it.IsDone(); it.Next(), ++index)
                FUZZ_CHECK(index < models[i].size() && it.GetCurrent() == models[i][index]);
            FUZZ_CHECK(index == models[i].size());
        }
    }
    for (int i = 0; i < 2; ++i) {
        while (queues[i].Dequeue() != nullptr) {
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    InstallAssertLogger(&FuzzAsserts());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const int assertsBefore = FuzzAsserts().fCount;
    if (input.Byte() & 1) {
        RunHeap(input);
    } else {
        RunQueues(input);
    }
    // Every operation above is a correct use: nothing may be reported.
    FUZZ_CHECK(FuzzAsserts().fCount == assertsBefore);
    return 0;
}
