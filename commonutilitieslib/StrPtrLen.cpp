#include "StrPtrLen.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "OSAssert.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

uint8_t Fold(char c) {
    return StrPtrLen::sCaseFoldTable[uint8_t(c)];
}

bool EqualFolded(const char* a, const char* b, uint32_t len) {
    for (uint32_t i = 0; i < len; ++i) {
        if (Fold(a[i]) != Fold(b[i])) return false;
    }
    return true;
}

constexpr size_t kNotFound = std::string_view::npos;

// Offset of the first occurrence of the pattern in the text under the case folding.
size_t FindFolded(std::string_view text, std::string_view pattern) {
    if (pattern.size() > text.size()) return kNotFound;
    if (pattern.empty()) return 0;
    const uint8_t first = Fold(pattern[0]);
    const size_t lastStart = text.size() - pattern.size();
    for (size_t start = 0; start <= lastStart; ++start) {
        if (Fold(text[start]) != first) continue;
        if (EqualFolded(text.data() + start + 1, pattern.data() + 1, uint32_t(pattern.size() - 1)))
            return start;
    }
    return kNotFound;
}

void Write(const char* bytes, size_t count) {
    if (count > 0) fwrite(bytes, 1, count, stdout);
}

void WriteCString(const char* text) {
    if (text != nullptr) fputs(text, stdout);
}

}  // namespace

uint32_t StrPtrLen::TextLength() const {
    if (fPtr == nullptr) return 0;
    const void* nul = memchr(fPtr, '\0', fLen);
    return nul != nullptr ? uint32_t(static_cast<const char*>(nul) - fPtr) : fLen;
}

Bool16 StrPtrLen::Equal(const char* cString) const {
    if (fPtr == nullptr || cString == nullptr) return fPtr == cString;
    // Compares while measuring, so a long string is read no further than fLen + 1 bytes.
    for (uint32_t i = 0; i < fLen; ++i) {
        if (cString[i] == '\0' || cString[i] != fPtr[i]) return false;
    }
    return cString[fLen] == '\0';
}

Bool16 StrPtrLen::PrefixEqualIgnoreCase(const char* text, uint32_t len) const {
    Assert(text != nullptr);
    if (text == nullptr || Readable() < len) return false;
    return EqualFolded(fPtr, text, len);
}

Bool16 StrPtrLen::EqualIgnoreCase(const char* text, uint32_t len) const {
    Assert(text != nullptr);
    if (text == nullptr || len != fLen) return false;
    if (len > 0 && fPtr == nullptr) return false;
    return EqualFolded(fPtr, text, len);
}

char* StrPtrLen::FindSubstring(const char* pattern, StrPtrLen* outMatch,
                               Bool16 caseSensitive) const {
    if (outMatch != nullptr) outMatch->Set(nullptr, 0);
    Assert(pattern != nullptr);
    if (pattern == nullptr || fPtr == nullptr || fLen == 0) return nullptr;

    // The search ends at the first NUL within the length, as a C-string search would.
    const std::string_view text(fPtr, TextLength());
    const std::string_view wanted(pattern);
    const size_t offset = caseSensitive ? text.find(wanted) : FindFolded(text, wanted);
    if (offset == kNotFound) return nullptr;

    char* found = fPtr + offset;
    if (outMatch != nullptr) outMatch->Set(found, uint32_t(wanted.size()));
    return found;
}

uint32_t StrPtrLen::RemoveBlanks() {
    if (fPtr == nullptr || fLen == 0) return 0;
    uint32_t kept = 0;
    for (uint32_t i = 0; i < fLen; ++i) {
        if (!IsBlank(fPtr[i])) fPtr[kept++] = fPtr[i];
    }
    fLen = kept;
    return fLen;
}

uint32_t StrPtrLen::TrimLeadingBlanks() {
    if (fPtr == nullptr || fLen == 0) return 0;
    while (fLen > 0 && IsBlank(*fPtr)) {
        ++fPtr;
        --fLen;
    }
    return fLen;
}

uint32_t StrPtrLen::TrimTrailingBlanks() {
    if (fPtr == nullptr || fLen == 0) return 0;
    while (fLen > 0 && IsBlank(fPtr[fLen - 1]))
        --fLen;
    return fLen;
}

char* StrPtrLen::ToUpperInPlace() {
    const uint32_t len = Readable();
    for (uint32_t i = 0; i < len; ++i) {
        if (fPtr[i] >= 'a' && fPtr[i] <= 'z') fPtr[i] = char(fPtr[i] - ('a' - 'A'));
    }
    return fPtr;
}

char* StrPtrLen::CopyToNewCString() const {
    size_t len = Readable();
    // A length that fills the whole address space cannot describe real bytes; its size
    // with the NUL would wrap to 0.
    if (len + 1 == 0) len = 0;
    char* copy = new char[len + 1];
    if (len > 0) memcpy(copy, fPtr, len);
    copy[len] = '\0';
    return copy;
}

void StrPtrLen::Print() const {
    Write(fPtr, TextLength());
}

void StrPtrLen::PrintAndAppend(const char* suffix) const {
    Print();
    WriteCString(suffix);
}

void StrPtrLen::PrintLine(const char* stopText, const char* suffix) const {
    const uint32_t textLength = TextLength();
    uint32_t lineLength = 0;
    while (lineLength < textLength && sLineEndTable[uint8_t(fPtr[lineLength])] == 0)
        ++lineLength;

    // "%%" stands for one '%'; a lone '%' shows as '$'.
    std::string line;
    line.reserve(lineLength);
    for (uint32_t i = 0; i < lineLength; ++i) {
        if (fPtr[i] != '%') {
            line.push_back(fPtr[i]);
        } else if (i + 1 < lineLength && fPtr[i + 1] == '%') {
            line.push_back('%');
            ++i;
        } else {
            line.push_back('$');
        }
    }

    if (stopText != nullptr && *stopText != '\0') {
        const size_t at = line.find(stopText);
        if (at != std::string::npos) line.resize(at + strlen(stopText));
    }

    std::string shown;
    shown.reserve(line.size() + 16);
    for (char c : line) {
        if (c == '\r') {
            shown += "\\r";
        } else if (c == '\n') {
            shown += "\\n\n";
        } else {
            shown.push_back(c);
        }
    }
    Write(shown.data(), shown.size());
    WriteCString(suffix);
}
