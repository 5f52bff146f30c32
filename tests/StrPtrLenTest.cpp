// Counted strings; search, comparison and editing run against references in StrPtrLenFuzz.

#include "StrPtrLen.h"
#include "support/TestSupport.h"

namespace {

StrPtrLen Str(const std::string& text) {
    return StrPtrLen(const_cast<char*>(text.data()), uint32_t(text.size()));
}

// Null names are equal whatever their lengths, and unequal to empty ones. Only A to Z fold,
// not the bytes one case bit away from them, nor those from 0x80 up. A null text is
// reported and compares unequal.
TEST(StrPtrLen, EqualityAndCaseFolding) {
    char empty[] = "";
    EXPECT_TRUE(StrPtrLen(nullptr, 5).Equal(StrPtrLen()));
    EXPECT_TRUE(StrPtrLen().Equal(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(StrPtrLen().Equal(""));
    EXPECT_FALSE(StrPtrLen(empty).Equal(StrPtrLen()));
    EXPECT_FALSE(Str(std::string("a\0c", 3)).Equal("a"));  // bytes after a NUL count
    for (int b = 0; b < 256; ++b) {
        char mine = char(b), other = char(b ^ 0x20);
        const bool letter = (b | 0x20) >= 'a' && (b | 0x20) <= 'z';
        EXPECT_EQ(bool(StrPtrLen(&mine, 1).EqualIgnoreCase(&other, 1)), letter) << b;
    }
    ReportedAsserts asserts;
    EXPECT_FALSE(Str("GET").EqualIgnoreCase(nullptr, 3));
    EXPECT_FALSE(Str("GET").PrefixEqualIgnoreCase(nullptr, 0));
    EXPECT_EQ(Str("GET").FindSubstring(nullptr), nullptr);
    EXPECT_EQ(asserts.Take().size(), 3u);
}

// Bytes are written as they are, never taken as formats. A line ends at a control byte
// other than CR and LF, at 0xB2 and up, or at the stop text, sought in the rewritten text.
TEST(StrPtrLen, PrintHelpersWriteBytesNeverFormats) {
    const struct {
        std::string fText;
        const char* fStop;
        std::string fLine;
    } cases[] = {{"50% done\r\n", nullptr, "50$ done\\r\\n\n"},
                 {"a%%b: c", "%b", "a%b"},
                 {"ab\1cd", nullptr, "ab"},
                 {"ab\177\261\262cd", nullptr, "ab\177\261"},
                 {{"ab\0cd", 5}, nullptr, "ab"}};  // and Print at a NUL
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        Str(c.fText).PrintLine(c.fStop, "|");
        Str(c.fText).PrintAndAppend("!");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.fLine + "|" + c.fText.c_str() + "!");
    }
}

}  // namespace
