// The bytes of the load client's messages: a pseudo-random stream seeded by the
// connection and the message number, so that an echo of stale, shifted or foreign bytes
// never matches.
#pragma once

#include <cstdint>

inline void FillPattern(uint64_t seed, char* data, uint32_t length) {
    uint32_t state = uint32_t(seed) ^ uint32_t(seed >> 32) * 2654435761u;
    for (uint32_t i = 0; i < length; ++i) {
        state = state * 1103515245u + 12345u;
        data[i] = char(state >> 24);
    }
}
