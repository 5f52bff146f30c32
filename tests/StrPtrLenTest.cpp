// Counted strings: comparisons, search, editing and the print helpers. Bytes live in
// buffers of exactly the string's size, so a read past fLen shows under AddressSanitizer.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "StrPtrLen.h"
#include "support/TestSupport.h"

namespace {

// Heap bytes of exactly the text's size, without a NUL after them.
class Bytes {
public:
    explicit Bytes(const std::string& text) : fSize(uint32_t(text.size())) {
        fBytes.reset(new char[text.size() > 0 ? text.size() : 1]);
        text.copy(fBytes.get(), text.size());
    }
    StrPtrLen Str() const { return StrPtrLen(fBytes.get(), fSize); }
    std::string Text() const { return std::string(fBytes.get(), fSize); }
    char* Ptr() const { return fBytes.get(); }

private:
    std::unique_ptr<char[]> fBytes;
    uint32_t fSize;
};

std::string Printed(const std::function<void()>& print) {
    testing::internal::CaptureStdout();
    print();
    return testing::internal::GetCapturedStdout();
}

bool TookStrPtrLenAssert() {
    const auto texts = AssertRecorder::Instance().Take();
    return texts.size() == 1 && texts[0].rfind("_Assert: StrPtrLen, ", 0) == 0;
}

TEST(StrPtrLen, EqualTreatsNullApartFromEmpty) {
    char empty[] = "";
    EXPECT_TRUE(StrPtrLen().Equal(StrPtrLen()));
    EXPECT_TRUE(StrPtrLen(nullptr, 5).Equal(StrPtrLen(nullptr, 0)));  // lengths ignored
    EXPECT_TRUE(StrPtrLen().Equal(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(StrPtrLen().Equal(""));
    EXPECT_FALSE(StrPtrLen(empty).Equal(StrPtrLen()));
    EXPECT_TRUE(StrPtrLen(empty).Equal(""));

    Bytes abc("abc"), abd("abd"), nul(std::string("a\0c", 3)), nul2(std::string("a\0d", 3));
    EXPECT_TRUE(abc.Str().Equal("abc"));
    EXPECT_FALSE(abc.Str().Equal("ab"));
    EXPECT_FALSE(abc.Str().Equal("abcd"));
    EXPECT_FALSE(abc.Str().Equal(abd.Str()));
    EXPECT_FALSE(nul.Str().Equal(nul2.Str()));  // bytes after a NUL still count
    EXPECT_FALSE(nul.Str().Equal("a"));
}

TEST(StrPtrLen, CaseInsensitiveFoldsOnlyAsciiLetters) {
    Bytes header("Content-Length"), get("GET /index");
    EXPECT_TRUE(header.Str().EqualIgnoreCase("content-length", 14));
    EXPECT_FALSE(header.Str().EqualIgnoreCase("content-length", 13));
    EXPECT_TRUE(get.Str().PrefixEqualIgnoreCase("get", 3));
    EXPECT_FALSE(get.Str().PrefixEqualIgnoreCase("get /index.h", 12));  // string is shorter
    EXPECT_FALSE(get.Str().PrefixEqualIgnoreCase("got", 3));

    for (int b = 0; b < 256; ++b) {
        char mine = char(b), other = char(b ^ 0x20);
        const bool letters = (b | 0x20) >= 'a' && (b | 0x20) <= 'z';
        EXPECT_EQ(StrPtrLen(&mine, 1).EqualIgnoreCase(&other, 1), letters) << b;
        EXPECT_TRUE(StrPtrLen(&mine, 1).EqualIgnoreCase(&mine, 1)) << b;
    }

    EXPECT_FALSE(get.Str().EqualIgnoreCase(nullptr, 10));
    EXPECT_TRUE(TookStrPtrLenAssert());
    EXPECT_FALSE(get.Str().PrefixEqualIgnoreCase(nullptr, 0));
    EXPECT_TRUE(TookStrPtrLenAssert());
    EXPECT_FALSE(StrPtrLen(nullptr, 3).EqualIgnoreCase("abc", 3));  // no bytes to read
}

TEST(StrPtrLen, FindSubstringExamples) {
    Bytes hello("Hello World");
    StrPtrLen match(hello.Ptr(), 99);
    EXPECT_EQ(hello.Str().FindSubstring("lo", &match, true), hello.Ptr() + 3);
    EXPECT_EQ(match.fPtr, hello.Ptr() + 3);
    EXPECT_EQ(match.fLen, 2u);
    EXPECT_EQ(hello.Str().FindSubstring("WORLD", &match, true), nullptr);
    EXPECT_EQ(match.fPtr, nullptr);
    EXPECT_EQ(match.fLen, 0u);
    EXPECT_EQ(hello.Str().FindSubstring("WORLD", &match, false), hello.Ptr() + 6);
    EXPECT_EQ(match.fLen, 5u);

    Bytes five("abcde");  // no NUL: a match must end within the five bytes
    EXPECT_EQ(five.Str().FindSubstring("cde"), five.Ptr() + 2);
    EXPECT_EQ(five.Str().FindSubstring("CDE", nullptr, false), five.Ptr() + 2);
    EXPECT_EQ(five.Str().FindSubstring("cdef"), nullptr);
    EXPECT_EQ(StrPtrLen(five.Ptr(), 4).FindSubstring("cde"), nullptr);

    Bytes nul(std::string("ab\0cd", 5));  // the first NUL ends the searched text
    EXPECT_EQ(nul.Str().FindSubstring("cd"), nullptr);
    EXPECT_EQ(nul.Str().FindSubstring("", &match), nul.Ptr());
    EXPECT_EQ(match.fLen, 0u);
    Bytes leadingNul(std::string("\0a", 2));
    EXPECT_EQ(leadingNul.Str().FindSubstring(""), leadingNul.Ptr());
    EXPECT_EQ(leadingNul.Str().FindSubstring("a"), nullptr);

    Bytes symbols("x`y");  // '@' and '`' differ by the case bit but are no letters
    EXPECT_EQ(symbols.Str().FindSubstring("@", nullptr, false), nullptr);
    EXPECT_EQ(StrPtrLen().FindSubstring(""), nullptr);
    EXPECT_EQ(hello.Str().FindSubstring(nullptr, &match), nullptr);
    EXPECT_TRUE(TookStrPtrLenAssert());
}

// Against a reference built on std::string: the text cut at its first NUL, both sides
// upper-cased in the case-insensitive search.
TEST(StrPtrLen, FindSubstringMatchesReferenceOnRandomInput) {
    std::mt19937 random(20240611);
    const char alphabet[] = {'a', 'A', 'b', 'B', '@', '`', char(0xE1), char(0xC1), '\0'};
    auto pick = [&](size_t most, bool nul) {
        std::string s(random() % (most + 1), ' ');
        for (char& c : s)
            c = alphabet[random() % (sizeof alphabet - (nul ? 0 : 1))];
        return s;
    };
    auto upper = [](std::string s) {
        for (char& c : s)
            c = (c >= 'a' && c <= 'z') ? char(c - 32) : c;
        return s;
    };
    for (int round = 0; round < 20000; ++round) {
        Bytes text(pick(12, round % 4 == 0));
        const std::string pattern = pick(4, false);
        const bool caseSensitive = round % 2 == 0;
        if (text.Text().empty()) continue;
        std::string cut = text.Text().substr(0, text.Text().find('\0'));
        const size_t expected = caseSensitive ? cut.find(pattern) : upper(cut).find(upper(pattern));
        char* found = text.Str().FindSubstring(pattern.c_str(), nullptr, caseSensitive);
        ASSERT_EQ(found, expected == std::string::npos ? nullptr : text.Ptr() + expected)
            << '"' << text.Text() << "\" / \"" << pattern << '"';
    }
}

TEST(StrPtrLen, EditingKeepsToTheBytes) {
    Bytes spaced("a b\tc d");
    StrPtrLen str = spaced.Str();
    EXPECT_EQ(str.RemoveBlanks(), 4u);
    EXPECT_EQ(spaced.Text(), "abcdc d");  // bytes past the new length are left as they were
    EXPECT_EQ(std::string(str.fPtr, str.fLen), "abcd");

    Bytes blanks(" \t \t");
    StrPtrLen lead = blanks.Str(), trail = blanks.Str();
    EXPECT_EQ(lead.TrimLeadingBlanks(), 0u);
    EXPECT_EQ(trail.TrimTrailingBlanks(), 0u);
    EXPECT_EQ(trail.fPtr, blanks.Ptr());

    Bytes padded("\t x y ");
    StrPtrLen both = padded.Str();
    EXPECT_EQ(both.TrimLeadingBlanks(), 4u);
    EXPECT_EQ(both.TrimTrailingBlanks(), 3u);
    EXPECT_EQ(std::string(both.fPtr, both.fLen), "x y");
    EXPECT_EQ(padded.Text(), "\t x y ");

    StrPtrLen none(nullptr, 3);
    EXPECT_EQ(none.RemoveBlanks(), 0u);
    EXPECT_EQ(none.TrimLeadingBlanks(), 0u);
    EXPECT_EQ(none.fLen, 3u);  // left alone

    Bytes mixed("az AZ {`}\xE9");
    StrPtrLen upper = mixed.Str();
    EXPECT_EQ(upper.ToUpperInPlace(), mixed.Ptr());
    EXPECT_EQ(mixed.Text(), "AZ AZ {`}\xE9");
}

TEST(StrPtrLen, CopyToNewCStringAddsTheNul) {
    Bytes withNul(std::string("a\0b", 3));
    std::unique_ptr<char[]> copy(withNul.Str().CopyToNewCString());
    EXPECT_EQ(std::string(copy.get(), 4), std::string("a\0b\0", 4));
    std::unique_ptr<char[]> empty(StrPtrLen(nullptr, 7).CopyToNewCString());
    EXPECT_EQ(empty[0], '\0');
}

TEST(StrPtrLen, PrintWritesBytesNotFormats) {
    Bytes text(std::string("%s %d %n\0tail", 13));
    EXPECT_EQ(Printed([&] { text.Str().Print(); }), "%s %d %n");
    EXPECT_EQ(Printed([&] { text.Str().PrintAndAppend("!\n"); }), "%s %d %n!\n");
    EXPECT_EQ(Printed([&] { StrPtrLen().PrintAndAppend(nullptr); }), "");
}

TEST(StrPtrLen, PrintLineRewritesAndStops) {
    auto line = [](const std::string& text, const char* stop = nullptr,
                   const char* suffix = nullptr) {
        Bytes bytes(text);
        return Printed([&] { bytes.Str().PrintLine(stop, suffix); });
    };
    EXPECT_EQ(line("50% done\r\n"), "50$ done\\r\\n\n");
    EXPECT_EQ(line("100%%"), "100%");
    EXPECT_EQ(line("%%%"), "%$");
    EXPECT_EQ(line("%s%d"), "$s$d");
    EXPECT_EQ(line("key: value: more", ":", "|"), "key:|");
    EXPECT_EQ(line("a%%b", "%b"), "a%b");  // the stop text is sought in the rewritten text
    EXPECT_EQ(line("short", "longer stop"), "short");
    EXPECT_EQ(line("short", ""), "short");

    // Line-end bytes: controls other than CR and LF, and 0xB2 upwards.
    for (unsigned char b : {0x01, 0x09, 0x1F, 0xB2, 0xFF}) {
        EXPECT_EQ(line(std::string("ab") + char(b) + "cd"), "ab") << int(b);
    }
    for (unsigned char b : {0x20, 0x7F, 0xB1}) {
        EXPECT_EQ(line(std::string("ab") + char(b)), std::string("ab") + char(b)) << int(b);
    }
    EXPECT_EQ(line(std::string("ab\0cd", 5)), "ab");
}

}  // namespace
