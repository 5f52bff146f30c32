// Counted strings: null against empty, case folding, reported null texts and the print
// helpers. Search, comparisons and editing are checked against plain references on random
// input in StrPtrLenFuzz.
#include <gtest/gtest.h>

#include "StrPtrLen.h"
#include "support/TestSupport.h"

namespace {

StrPtrLen Str(const std::string& text) {
    return StrPtrLen(const_cast<char*>(text.data()), uint32_t(text.size()));
}

TEST(StrPtrLen, EqualTellsNullFromEmpty) {
    char empty[] = "";
    EXPECT_TRUE(StrPtrLen(nullptr, 5).Equal(StrPtrLen()));  // lengths ignored
    EXPECT_TRUE(StrPtrLen().Equal(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(StrPtrLen().Equal(""));
    EXPECT_FALSE(StrPtrLen(empty).Equal(StrPtrLen()));
    EXPECT_TRUE(StrPtrLen(empty).Equal(""));
    EXPECT_FALSE(Str(std::string("a\0c", 3)).Equal("a"));  // bytes after a NUL count
}

// A to Z fold to a to z and nothing else does: not the bytes one case bit away from them,
// nor those from 0x80 up. A null text is reported and compares unequal.
TEST(StrPtrLen, CaseFoldingTakesOnlyAsciiLetters) {
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

std::string Printed(const std::function<void()>& print) {
    testing::internal::CaptureStdout();
    print();
    return testing::internal::GetCapturedStdout();
}

TEST(StrPtrLen, PrintHelpersWriteBytesNeverFormats) {
    const std::string text("%s %d %n\0tail", 13);
    EXPECT_EQ(Printed([&] { Str(text).PrintAndAppend("!\n"); }), "%s %d %n!\n");
    EXPECT_EQ(Printed([&] { StrPtrLen().PrintAndAppend(nullptr); }), "");
    const struct {
        std::string fText;
        const char *fStop, *fPrinted;
    } lines[] = {{"50% done\r\n", nullptr, "50$ done\\r\\n\n"},
                 {"100%%", nullptr, "100%"},
                 {"%%%s%d", nullptr, "%$s$d"},
                 {"key: value: more", ":", "key:"},
                 {"a%%b", "%b", "a%b"},  // the stop is sought in the rewritten text
                 {"short", "longer stop", "short"},
                 {"ab\x01"
                  "cd",
                  nullptr, "ab"},  // controls other than CR and LF end the line
                 {"ab\x7F\xB1\xB2"
                  "cd",
                  nullptr, "ab\x7F\xB1"},  // and so do 0xB2 upwards
                 {{"ab\0cd", 5}, nullptr, "ab"}};
    for (const auto& line : lines)
        EXPECT_EQ(Printed([&] { Str(line.fText).PrintLine(line.fStop, "|"); }),
                  line.fPrinted + std::string("|"));
}

}  // namespace
