#include "OSAtomic.h"

#include "OSMutex.h"

uint32_t AtomicAdd(uint32_t* word, int32_t delta) {
    OSMutexLocker locker(&sAtomicMutex);
    const uint32_t result = AtomicRead(word) + uint32_t(delta);
    AtomicWrite(word, result);
    return result;
}

uint32_t AtomicSub(uint32_t* word, int32_t amount) {
    return AtomicAdd(word, int32_t(0u - uint32_t(amount)));
}

uint32_t AtomicOr(uint32_t* word, uint32_t mask) {
    OSMutexLocker locker(&sAtomicMutex);
    const uint32_t previous = AtomicRead(word);
    AtomicWrite(word, previous | mask);
    return previous;
}

uint32_t CompareAndStore(uint32_t expected, uint32_t newValue, uint32_t* word) {
    OSMutexLocker locker(&sAtomicMutex);
    if (AtomicRead(word) != expected) return 0;
    AtomicWrite(word, newValue);
    return 1;
}
