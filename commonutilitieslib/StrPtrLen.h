/// @file
/// Counted strings: a pointer and a length that do not own their bytes.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "OSTypes.h"

/// The byte tables of StrPtrLen, made at compile time.
namespace StrPtrLenTables {

/// One entry per byte value.
using ByteTable = std::array<uint8_t, 256>;

/// See StrPtrLen::sCaseFoldTable.
constexpr ByteTable MakeCaseFoldTable() {
    ByteTable table{};
    for (int b = 0; b < 256; ++b)
        table[b] = uint8_t(b >= 'A' && b <= 'Z' ? b + ('a' - 'A') : b);
    return table;
}

/// See StrPtrLen::sLineEndTable.
constexpr ByteTable MakeLineEndTable() {
    ByteTable table{};
    for (int b = 0; b < 256; ++b) {
        const bool control = b >= 0x01 && b <= 0x1F && b != '\n' && b != '\r';
        table[b] = uint8_t(control || b >= 0xB2 ? 1 : 0);
    }
    return table;
}

}  // namespace StrPtrLenTables

/// A counted string. The bytes need not end in a NUL and may hold any value; they belong to
/// whoever made them and must outlive every StrPtrLen that points at them. Copying copies the
/// pointer and the length, never the bytes. No operation reads or writes outside the fLen
/// bytes, and a null fPtr has no bytes whatever fLen says.
class StrPtrLen {
public:
    StrPtrLen() = default;
    /// The bytes of a NUL-terminated string, the NUL left out; null gives length 0.
    explicit StrPtrLen(char* cString) : fPtr(cString), fLen(LengthOf(cString)) {}
    StrPtrLen(char* ptr, uint32_t len) : fPtr(ptr), fLen(len) {}  ///< The bytes given.
    StrPtrLen(const StrPtrLen&) = default;                        ///< Copies pointer and length.
    StrPtrLen& operator=(const StrPtrLen&) = default;             ///< Copies pointer and length.
    virtual ~StrPtrLen() = default;

    /// Points at other bytes.
    void Set(char* ptr, uint32_t len) {
        fPtr = ptr;
        fLen = len;
    }

    /// Both null is equal whatever the lengths; one null is unequal; otherwise the lengths
    /// and the bytes decide.
    Bool16 Equal(const StrPtrLen& other) const {
        if (fPtr == nullptr || other.fPtr == nullptr) return fPtr == other.fPtr;
        if (fLen != other.fLen) return false;
        // Registry names are a few bytes long: compared in line, they cost less than a call.
        if (fLen > kShortLength) return memcmp(fPtr, other.fPtr, fLen) == 0;
        for (uint32_t i = 0; i < fLen; ++i) {
            if (fPtr[i] != other.fPtr[i]) return false;
        }
        return true;
    }
    /// The same for a NUL-terminated string, read no further than fLen + 1 bytes.
    Bool16 Equal(const char* cString) const;

    // Under the case folding: A to Z compare as a to z, every other byte as itself. A null
    // text is reported and compares unequal.

    /// Whether the bytes begin with the `len` bytes of text, ignoring case.
    Bool16 PrefixEqualIgnoreCase(const char* text, uint32_t len) const;
    /// Whether the bytes are the `len` bytes of text, ignoring case.
    Bool16 EqualIgnoreCase(const char* text, uint32_t len) const;

    /// The first occurrence of `pattern` in the bytes up to the first NUL within fLen, or
    /// null. An empty pattern matches at the first byte. `outMatch`, when given, is set to
    /// the match and the pattern's length, or to (null, 0).
    char* FindSubstring(const char* pattern, StrPtrLen* outMatch = nullptr,
                        Bool16 caseSensitive = true) const;

    // Blanks are spaces and tabs. Each returns the new fLen; a null or empty string is left
    // alone and gives 0.

    /// Removes every blank, moving the other bytes forward: the bytes must be writable.
    uint32_t RemoveBlanks();
    uint32_t TrimLeadingBlanks();   ///< Skips the leading blanks.
    uint32_t TrimTrailingBlanks();  ///< Drops the trailing blanks.

    /// Turns a to z into A to Z in place; returns fPtr.
    char* ToUpperInPlace();

    /// A new NUL-terminated copy that the caller releases with delete[].
    char* CopyToNewCString() const;

    // Console helpers. Bytes are written as they are, never taken as format directives.
    void Print() const;  ///< Writes the bytes up to the first NUL to standard output.
    void PrintAndAppend(const char* suffix = nullptr) const;  ///< Print, then the suffix.
    /// Writes the text up to its first line-end byte, "%%" as "%" and any other "%" as "$",
    /// cut right after the first `stopText`; carriage returns and line feeds show as `\r` and
    /// `\n` (the latter followed by a real line feed). Then the suffix.
    void PrintLine(const char* stopText = nullptr, const char* suffix = nullptr) const;

    /// sCaseFoldTable[b] is what byte b compares as in the case-insensitive comparisons.
    static constexpr StrPtrLenTables::ByteTable sCaseFoldTable =
        StrPtrLenTables::MakeCaseFoldTable();
    /// Non-zero for the bytes that end a line for PrintLine: controls other than CR and LF,
    /// and 0xB2 to 0xFF.
    static constexpr StrPtrLenTables::ByteTable sLineEndTable = StrPtrLenTables::MakeLineEndTable();

    char* fPtr = nullptr;  ///< The first byte; null for no bytes.
    uint32_t fLen = 0;     ///< The count of bytes.

private:
    static constexpr uint32_t kShortLength = 8;

    static uint32_t LengthOf(const char* cString) {
        return cString != nullptr ? uint32_t(strlen(cString)) : 0;
    }
    // How many bytes there are to read: none behind a null pointer.
    uint32_t Readable() const { return fPtr != nullptr ? fLen : 0; }
    // The bytes up to the first NUL within fLen.
    uint32_t TextLength() const;
};
