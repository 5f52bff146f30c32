// Clock, conversions, directories, error numbers and assertion texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "OS.h"
#include "platform/Platform.h"
#include "support/TestSupport.h"

namespace {

uint32_t sFakeTimer = 0;
int32_t sFakeBias = 0;  // minutes; 1 stands for a time zone the platform cannot tell

// The wrap moves this process's clock on by 2^32 ms for good; nothing here depends on its
// absolute value.
TEST(Clock, ExtendsTheTimerAcrossItsWrap) {
    const OS::RawTimer previous = OS::SetRawTimer([] { return sFakeTimer; });
    const uint32_t raw[] = {0xFFFFFF00u, 0x100u, 0x150u};
    int64_t readings[3];
    for (int i = 0; i < 3; ++i) {
        sFakeTimer = raw[i];
        readings[i] = OS::Milliseconds();
    }
    OS::SetRawTimer(previous);
    EXPECT_EQ(readings[1] - readings[0], 0x200);  // the difference plus 2^32, not backwards
    EXPECT_EQ(readings[2] - readings[1], 0x50);   // and the wrap is counted once
}

TEST(Conversions, FixedPointSecondsTimeZoneAndByteOrder) {
    const std::pair<int64_t, uint64_t> fixed[] = {
        {1500, 0x180000000u}, {1, 4294967u}, {999, 0xFFBE76C8u}, {-1500, 0xFFFFFFFF80000000u}};
    for (const auto& [ms, seconds] : fixed)
        EXPECT_EQ(OS::MillisecondsToFixedSeconds(ms), seconds) << ms;
    const OS::TimeZoneSource previous = OS::SetTimeZoneSource([](int32_t* bias) {
        *bias = sFakeBias;
        return sFakeBias != 1;
    });
    const std::pair<int32_t, int32_t> zones[] = {{-480, 8}, {300, -5}, {-330, 5}, {1, 0}};
    for (const auto& [bias, hours] : zones) {
        sFakeBias = bias;
        EXPECT_EQ(OS::TimeZoneOffsetHours(), hours) << bias;
    }
    OS::SetTimeZoneSource(previous);
    EXPECT_EQ(OS::SwapToNetworkOrder64(0x0102030405060708u), 0x0807060504030201u);
}

// Either separator is taken anywhere, the first byte included, and the platform's own is
// written back: a leading backslash must not make a directory named "\work" here. A null
// path is reported and refused before the platform's file calls, which may end the process.
TEST(Directories, MakeDirectoryPathTakesEitherSeparatorAndNullIsRefused) {
    std::filesystem::remove_all("cu_dirs");
    const std::filesystem::path scratch = std::filesystem::absolute("cu_dirs");
    std::string rooted = scratch.relative_path().string();  // without drive or root
    std::replace(rooted.begin(), rooted.end(), '/', '\\');
    for (const std::string& path : {std::string("cu_dirs/a\\b/c"), "\\" + rooted + "\\d/e"}) {
        std::string buffer = path, expected = path;
        std::replace(expected.begin(), expected.end(), '\\', '/');
        std::replace(expected.begin(), expected.end(), '/', Platform::kPathSeparator);
        EXPECT_EQ(OS::MakeDirectoryPath(buffer.data()), 0) << path;
        EXPECT_EQ(buffer, expected);
    }
    EXPECT_TRUE(std::filesystem::is_directory(scratch / "a" / "b" / "c"));
    EXPECT_TRUE(std::filesystem::is_directory(scratch / "d" / "e"));
    std::ofstream("cu_dirs/file").put('x');
    const std::pair<const char*, int32_t> cases[] = {
        {"cu_dirs", 0}, {"cu_dirs/file", EEXIST}, {"cu_dirs/no/x", ENOENT}, {nullptr, ENOENT}};
    for (const auto& [path, result] : cases) {
        ReportedAsserts asserts;
        EXPECT_EQ(OS::MakeDirectory(path), result) << (path ? path : "null");
        EXPECT_EQ(asserts.Take().size(), path ? 0u : 1u) << (path ? path : "null");
    }
    ReportedAsserts asserts;
    EXPECT_EQ(OS::MakeDirectoryPath(nullptr), ENOENT);
    EXPECT_EQ(asserts.Take().size(), 1u);
    std::filesystem::remove_all("cu_dirs");
}

TEST(Assertions, TextsNameTheSourceAndLineAndAreCutTo255) {
    ReportedAsserts asserts;
    AssertAt(1 + 1 == 3, 42);
    AssertVAt(false, -7, 99);
    const int line = __LINE__ + 1;
    Assert(false);
    Assert(true);
    ReportAssertValueFailure("dir/Short.cpp", 7, 11);
    ReportAssertFailure(("dir/" + std::string(400, 'x') + ".cpp").c_str(), 7);
    EXPECT_EQ(asserts.Take(),
              (std::vector<std::string>{AssertText("OSTest", 42), AssertText("OSTest", 99, -7),
                                        AssertText("OSTest", line), AssertText("Short", 7, 11),
                                        "_Assert: " + std::string(255 - 9, 'x')}));
}

}  // namespace
