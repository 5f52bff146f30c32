// Counted strings on arbitrary bytes, checked against plain reference implementations.
// The string's bytes live in a buffer of exactly fLen bytes, so any read past the length
// shows under AddressSanitizer.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "FuzzInput.h"
#include "FuzzSupport.h"
#include "StrPtrLen.h"

namespace {

char Fold(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c + ('a' - 'A')) : c;
}
char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? char(c - ('a' - 'A')) : c;
}
bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool EqualFolded(const char* a, const char* b, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (Fold(a[i]) != Fold(b[i])) return false;
    }
    return true;
}

// Where FindSubstring must report a match: within the bytes up to the first NUL.
long ReferenceFind(const std::string& bytes, const std::string& pattern, bool caseSensitive) {
    if (bytes.empty()) return -1;
    std::string text = bytes.substr(0, bytes.find('\0'));
    std::string needle = pattern;
    if (!caseSensitive) {
        for (char& c : text)
            c = Upper(c);
        for (char& c : needle)
            c = Upper(c);
    }
    const size_t at = text.find(needle);
    return at == std::string::npos ? -1 : long(at);
}

// Arbitrary bytes as a few letters that fold into one another, and a NUL.
std::string Narrow(std::string bytes) {
    static const char kLetters[] = {'a', 'A', 'b', 'B', '@', '`', char(0xE1), char(0xC1), '\0'};
    for (char& c : bytes)
        c = kLetters[uint8_t(c) % sizeof kLetters];
    return bytes;
}

// The bytes in a buffer of exactly their length (none at all when empty).
std::unique_ptr<char[]> ExactCopy(const std::string& bytes) {
    if (bytes.empty()) return nullptr;
    std::unique_ptr<char[]> copy(new char[bytes.size()]);
    memcpy(copy.get(), bytes.data(), bytes.size());
    return copy;
}

void CheckSearch(const std::string& bytes, const std::string& rawPattern) {
    const std::string pattern = rawPattern.substr(0, rawPattern.find('\0'));
    auto buffer = ExactCopy(bytes);
    StrPtrLen string(buffer.get(), uint32_t(bytes.size()));
    for (bool caseSensitive : {true, false}) {
        StrPtrLen match;
        char* found = string.FindSubstring(pattern.c_str(), &match, caseSensitive);
        const long expected = ReferenceFind(bytes, pattern, caseSensitive);
        if (expected < 0) {
            FUZZ_CHECK(found == nullptr);
            FUZZ_CHECK(match.fPtr == nullptr && match.fLen == 0);
        } else {
            FUZZ_CHECK(found == buffer.get() + expected);
            FUZZ_CHECK(match.fPtr == found && match.fLen == pattern.size());
        }
    }
}

void CheckComparisons(const std::string& bytes, const std::string& other) {
    auto buffer = ExactCopy(bytes);
    StrPtrLen string(buffer.get(), uint32_t(bytes.size()));
    const uint32_t n = uint32_t(other.size());
    const bool equal = bytes.size() == other.size() && EqualFolded(bytes.data(), other.data(), n);
    FUZZ_CHECK(bool(string.EqualIgnoreCase(other.data(), n)) == equal);
    const bool prefix = bytes.size() >= other.size() && EqualFolded(bytes.data(), other.data(), n);
    FUZZ_CHECK(bool(string.PrefixEqualIgnoreCase(other.data(), n)) == prefix);
    auto otherBuffer = ExactCopy(other);
    StrPtrLen otherString(otherBuffer.get(), n);
    if (buffer && otherBuffer) FUZZ_CHECK(bool(string.Equal(otherString)) == (bytes == other));
}

void CheckEdits(const std::string& bytes) {
    {
        auto buffer = ExactCopy(bytes);
        StrPtrLen string(buffer.get(), uint32_t(bytes.size()));
        std::string expected;
        for (char c : bytes)
            if (!IsBlank(c)) expected.push_back(c);
        FUZZ_CHECK(string.RemoveBlanks() == (buffer ? expected.size() : 0));
        if (buffer) FUZZ_CHECK(memcmp(buffer.get(), expected.data(), expected.size()) == 0);
    }
    {
        auto buffer = ExactCopy(bytes);
        StrPtrLen string(buffer.get(), uint32_t(bytes.size()));
        size_t leading = 0;
        while (leading < bytes.size() && IsBlank(bytes[leading]))
            ++leading;
        FUZZ_CHECK(string.TrimLeadingBlanks() == bytes.size() - leading);
        if (buffer) FUZZ_CHECK(string.fPtr == buffer.get() + leading);
        size_t end = bytes.size();
        while (end > leading && IsBlank(bytes[end - 1]))
            --end;
        FUZZ_CHECK(string.TrimTrailingBlanks() == end - leading);
    }
    {
        auto buffer = ExactCopy(bytes);
        StrPtrLen string(buffer.get(), uint32_t(bytes.size()));
        string.ToUpperInPlace();
        for (size_t i = 0; i < bytes.size(); ++i)
            FUZZ_CHECK(buffer[i] == Upper(bytes[i]));
        std::unique_ptr<char[]> copy(string.CopyToNewCString());
        FUZZ_CHECK(copy[bytes.size()] == '\0');
        if (buffer) FUZZ_CHECK(memcmp(copy.get(), buffer.get(), bytes.size()) == 0);
    }
}

void CheckPrinting(const std::string& bytes, const std::string& stop, const std::string& suffix) {
    auto buffer = ExactCopy(bytes);
    StrPtrLen string(buffer.get(), uint32_t(bytes.size()));
    const std::string stopText = stop.substr(0, stop.find('\0'));
    const std::string suffixText = suffix.substr(0, suffix.find('\0'));
    // Bytes such as %n or %s must be printed, never interpreted.
    string.Print();
    string.PrintAndAppend(suffixText.c_str());
    string.PrintLine(stopText.c_str(), suffixText.c_str());
    string.PrintLine(nullptr, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    InstallAssertLogger(&FuzzAsserts());
    // The print helpers write to standard output; keep the fuzzer's output readable.
    DiscardStandardOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const std::string bytes = input.Bytes(256);
    const std::string other = input.Bytes(64);
    CheckSearch(bytes, other);
    CheckComparisons(bytes, other);
    CheckEdits(bytes);
    CheckPrinting(bytes, other, input.Bytes(16));
    // Arbitrary patterns almost never occur in arbitrary bytes: short searches among a few
    // letters find matches and near matches all the time.
    if (input.Byte() & 1) CheckSearch(Narrow(input.Bytes(12)), Narrow(input.Bytes(4)));
    return 0;
}
