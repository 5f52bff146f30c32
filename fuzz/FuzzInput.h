// Reads a fuzzer's bytes as a stream of small decisions; past the end everything reads 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : fData(data), fSize(size) {}

    bool Empty() const { return fOffset >= fSize; }
    uint8_t Byte() { return fOffset < fSize ? fData[fOffset++] : 0; }
    uint32_t Below(uint32_t bound) { return bound == 0 ? 0 : Word() % bound; }
    uint32_t Word() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value = (value << 8) | Byte();
        return value;
    }
    // Up to `most` raw bytes (fewer when the input runs out).
    std::string Bytes(size_t most) {
        const size_t length = Below(uint32_t(most) + 1);
        std::string bytes;
        for (size_t i = 0; i < length && !Empty(); ++i)
            bytes.push_back(char(Byte()));
        return bytes;
    }

private:
    const uint8_t* fData;
    size_t fSize;
    size_t fOffset = 0;
};
