// Clock, directories and assertion texts.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <utility>

#include "OS.h"
#include "platform/Platform.h"
#include "support/TestSupport.h"

namespace {

uint32_t sFakeTimer = 0;

// The wrap moves this process's clock on by 2^32 ms for good; nothing here depends on its
// absolute value.
TEST(Clock, ExtendsTheTimerAcrossItsWrap) {
    const OS::RawTimer previous = OS::SetRawTimer([] { return sFakeTimer; });
    // Each raw reading, and how far the clock must have moved since the one before: the
    // same reading twice is no wrap, a smaller one is, counted once.
    const std::pair<uint32_t, int64_t> steps[] = {
        {0xFFFFFF00u, 0}, {0xFFFFFF00u, 0}, {0x100u, 0x200}, {0x100u, 0}, {0x150u, 0x50}};
    sFakeTimer = steps[0].first;
    int64_t last = OS::Milliseconds();
    for (const auto& [raw, moved] : steps) {
        sFakeTimer = raw;
        const int64_t now = OS::Milliseconds();
        EXPECT_EQ(now - last, moved) << std::hex << raw;
        last = now;
    }
    OS::SetRawTimer(previous);
}

// Fixed-point seconds keep the fraction, cut toward zero; the zone is whole hours east of
// UTC, the bias (UTC = local + bias) divided toward zero.
TEST(Clock, FixedPointSecondsAndTimeZoneHours) {
    const std::pair<int64_t, uint64_t> fixed[] = {
        {1500, 0x180000000}, {1, 4294967}, {0, 0}, {3000, 0x300000000}};
    for (const auto& [ms, seconds] : fixed)
        EXPECT_EQ(OS::MillisecondsToFixedSeconds(ms), seconds) << ms;
    static int32_t sBias;
    const OS::TimeZoneSource previous = OS::SetTimeZoneSource([](int32_t* bias) {
        *bias = sBias;
        return sBias != 12345;
    });
    for (const auto& [bias, hours] : {std::pair{-480, 8}, {300, -5}, {-330, 5}, {12345, 0}}) {
        sBias = bias;
        EXPECT_EQ(OS::TimeZoneOffsetHours(), hours) << bias;
    }
    OS::SetTimeZoneSource(previous);
}

// Either separator is taken anywhere, the first byte included, and the platform's own is
// written back: a leading backslash must not make a directory named "\work" here. A null
// path is reported and refused before the platform's file calls, which may end the process.
TEST(Directories, MakeDirectoryPathTakesEitherSeparatorAndNullIsRefused) {
    std::filesystem::remove_all("cu_dirs");
    std::string rooted = std::filesystem::absolute("cu_dirs").relative_path().string();
    std::replace(rooted.begin(), rooted.end(), '/', '\\');  // without drive or root
    for (const std::string& path : {std::string("cu_dirs/a\\b/c"), "\\" + rooted + "\\d/e"}) {
        std::string buffer = path, expected = path;
        std::replace(expected.begin(), expected.end(), '\\', '/');
        std::replace(expected.begin(), expected.end(), '/', Platform::kPathSeparator);
        EXPECT_EQ(OS::MakeDirectoryPath(buffer.data()), 0) << path;  // its parents were made
        EXPECT_EQ(buffer, expected);
    }
    std::ofstream("cu_dirs/file").put('x');
    const std::pair<const char*, int32_t> cases[] = {
        {"cu_dirs", 0}, {"cu_dirs/file", EEXIST}, {"cu_dirs/no/x", ENOENT}};
    for (const auto& [path, result] : cases)
        EXPECT_EQ(OS::MakeDirectory(path), result) << path;
    ReportedAsserts asserts;
    EXPECT_EQ(OS::MakeDirectory(nullptr), ENOENT);
    EXPECT_EQ(OS::MakeDirectoryPath(nullptr), ENOENT);
    EXPECT_EQ(asserts.Take().size(), 2u);
    std::filesystem::remove_all("cu_dirs");
}

// Texts a host's logger reads: a negative value, and a long source name cut so that the
// text keeps to 255 characters.
TEST(Assertions, TextsNameTheSourceAndLineAndAreCutTo255) {
    ReportedAsserts asserts;
    AssertVAt(1 + 1 == 3, -7, 99);
    ReportAssertFailure(("dir/" + std::string(400, 'x') + ".cpp").c_str(), 7);
    EXPECT_EQ(asserts.Take(), (std::vector<std::string>{AssertText("OSTest", 99, -7),
                                                        "_Assert: " + std::string(255 - 9, 'x')}));
}

}  // namespace
