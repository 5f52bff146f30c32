// Clock, system queries, error numbers and assertion reporting.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "OS.h"
#include "OSAssert.h"
#include "OSThread.h"
#include "platform/Platform.h"
#include "support/TestSupport.h"

namespace {

uint32_t sFakeTimer = 0;
uint32_t FakeTimer() {
    return sFakeTimer;
}

// Swaps the raw timer for a fake one for the extent of a test.
class FakeTimerScope {
public:
    FakeTimerScope() : fPrevious(OS::SetRawTimer(FakeTimer)) {}
    ~FakeTimerScope() { OS::SetRawTimer(fPrevious); }

private:
    OS::RawTimer fPrevious;
};

TEST(Clock, NeverDecreasesAndTracksTheWallClock) {
    int64_t previous = OS::Milliseconds();
    for (int i = 0; i < 1000; ++i) {
        const int64_t now = OS::Milliseconds();
        ASSERT_GE(now, previous);
        previous = now;
    }
    // Anchored to the wall clock at start-up with one-second resolution.
    const int64_t wall = Platform::UtcSeconds() * 1000;
    EXPECT_LT(std::llabs(previous - wall), 5000);
    EXPECT_GT(OS::sInitialMSec, -1);
}

// Runs after the wall-clock check: the simulated wrap moves this process's clock forward
// by 2^32 ms for good.
TEST(Clock, ExtendsTheTimerAcrossItsWrap) {
    FakeTimerScope fake;
    sFakeTimer = 0xFFFFFF00u;
    const int64_t beforeWrap = OS::Milliseconds();
    sFakeTimer = 0x100u;
    const int64_t afterWrap = OS::Milliseconds();
    // 0xFFFFFF00 to 0x100000100: forward by the difference plus 2^32, never backwards.
    EXPECT_EQ(afterWrap - beforeWrap, 0x200);
    sFakeTimer = 0x150u;
    EXPECT_EQ(OS::Milliseconds() - afterWrap, 0x50);
}

TEST(Clock, SecondInitializeAssertsAndChangesNothing) {
    const int64_t initial = OS::sInitialMSec;
    AssertRecorder::Instance().Take();
    OS::Initialize();
    EXPECT_EQ(OS::sInitialMSec, initial);
    const auto texts = AssertRecorder::Instance().Take();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].rfind("_Assert: OS, ", 0), 0u) << texts[0];
}

TEST(Clock, MicrosecondsStepInThousands) {
    EXPECT_EQ(OS::Microseconds() % 1000, 0);
    EXPECT_GE(OS::Microseconds(), 0);
}

TEST(Clock, FixedPointSeconds) {
    EXPECT_EQ(OS::MillisecondsToFixedSeconds(1500), 0x180000000ull);
    EXPECT_EQ(OS::MillisecondsToFixedSeconds(1), 4294967ull);
    EXPECT_EQ(OS::MillisecondsToFixedSeconds(0), 0ull);
    EXPECT_EQ(OS::MillisecondsToFixedSeconds(2000), 0x200000000ull);
}

TEST(SystemQueries, ByteOrderSwapsAllEightBytes) {
    EXPECT_EQ(OS::SwapToNetworkOrder64(0x0102030405060708ull), 0x0807060504030201ull);
    EXPECT_EQ(OS::SwapFromNetworkOrder64(0x0102030405060708ull), 0x0807060504030201ull);
}

int32_t sFakeBias = 0;
bool sFakeBiasKnown = true;
bool FakeTimeZone(int32_t* bias) {
    *bias = sFakeBias;
    return sFakeBiasKnown;
}

TEST(SystemQueries, TimeZoneOffsetIsWholeHoursEastOfUtc) {
    const OS::TimeZoneSource previous = OS::SetTimeZoneSource(FakeTimeZone);
    sFakeBiasKnown = true;
    sFakeBias = -480;
    EXPECT_EQ(OS::TimeZoneOffsetHours(), 8);
    sFakeBias = 300;
    EXPECT_EQ(OS::TimeZoneOffsetHours(), -5);
    sFakeBias = -330;  // truncates toward zero
    EXPECT_EQ(OS::TimeZoneOffsetHours(), 5);
    sFakeBiasKnown = false;
    EXPECT_EQ(OS::TimeZoneOffsetHours(), 0);
    OS::SetTimeZoneSource(previous);

    const int32_t real = OS::TimeZoneOffsetHours();
    EXPECT_GE(real, -12);
    EXPECT_LE(real, 14);
}

TEST(SystemQueries, ProcessorCountIsPositive) {
    EXPECT_GE(OS::ProcessorCount(), 1u);
}

// A scratch directory under the working directory, removed afterwards.
class DirectoryTest : public testing::Test {
protected:
    void SetUp() override { std::filesystem::remove_all("cu_dirs"); }
    void TearDown() override { std::filesystem::remove_all("cu_dirs"); }
};

TEST_F(DirectoryTest, MakeDirectoryPathCreatesEveryLevel) {
    char path[] = "cu_dirs/a/b/c";
    EXPECT_EQ(OS::MakeDirectoryPath(path), 0);
    // Separators are rewritten to the platform's own, never to a character that would end
    // up inside a directory name.
    const std::string separator(1, Platform::kPathSeparator);
    EXPECT_EQ(std::string(path), "cu_dirs" + separator + "a" + separator + "b" + separator + "c");
    EXPECT_EQ(Platform::StatPath("cu_dirs/a/b/c"), Platform::PathKind::kDirectory);
    // Existing directories are fine.
    char again[] = "cu_dirs\\a\\b\\c";
    EXPECT_EQ(OS::MakeDirectoryPath(again), 0);
    EXPECT_EQ(Platform::StatPath("cu_dirs/a/b/c"), Platform::PathKind::kDirectory);
}

TEST_F(DirectoryTest, ExistingFileGivesEexist) {
    char path[] = "cu_dirs/a";
    ASSERT_EQ(OS::MakeDirectoryPath(path), 0);
    FILE* file = std::fopen("cu_dirs/a/file", "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    char filePath[] = "cu_dirs/a/file";
    EXPECT_EQ(OS::MakeDirectoryPath(filePath), EEXIST);
    EXPECT_EQ(OS::MakeDirectory("cu_dirs/a/file"), EEXIST);
    EXPECT_EQ(OS::MakeDirectory("cu_dirs/missing/x"), ENOENT);
}

TEST(LastErrorCode, MapsPlatformErrorsToRuntimeNumbers) {
    struct Case {
        uint32_t fPlatform;
        int32_t fRuntime;
    };
    const Case cases[] = {
        {0, 0},
        {2, ENOENT},
        {3, ENOENT},
        {10004, EINTR},
        {10024, EMFILE},
        {10035, EAGAIN},
        {10036, kErrInProgress},
        {10048, kErrAddressInUse},
        {10049, kErrAddressNotAvailable},
        {10052, EPIPE},
        {10053, EPIPE},
        {10054, EPIPE},
        {10057, kErrNotConnected},
        {10040, kErrNotConnected},
        {12345, kErrNotConnected},
    };
    for (const Case& c : cases) {
        Platform::SetLastError(c.fPlatform);
        EXPECT_EQ(OSThread::LastErrorCode(), c.fRuntime) << "platform error " << c.fPlatform;
    }
}

class CountingLogger : public AssertLogger {
public:
    void LogAssert(const char* text) override {
        fLast = text;
        ++fCount;
    }
    std::string fLast;
    int fCount = 0;
};

TEST(Assertions, FormatSourceNameAndLine) {
    CountingLogger logger;
    InstallAssertLogger(&logger);
    AssertAt(1 + 1 == 3, 42);
    EXPECT_EQ(logger.fLast, "_Assert: OSTest, 42");
    AssertVAt(false, -7, 99);
    EXPECT_EQ(logger.fLast, "_AssertV: OSTest, 99 (-7)");
    const int line = __LINE__ + 1;
    Assert(false);
    EXPECT_EQ(logger.fLast, "_Assert: OSTest, " + std::to_string(line));
    Assert(true);
    EXPECT_EQ(logger.fCount, 3);
    InstallAssertLogger(&AssertRecorder::Instance());
}

TEST(Assertions, LongTextIsCutTo255AndTerminated) {
    CountingLogger logger;
    InstallAssertLogger(&logger);
    const std::string longName = "dir/" + std::string(400, 'x') + ".cpp";
    ReportAssertFailure(longName.c_str(), 7);
    EXPECT_EQ(logger.fLast.size(), 255u);
    EXPECT_EQ(logger.fLast.rfind("_Assert: xxx", 0), 0u);
    ReportAssertValueFailure("Short.cpp", 7, 11);
    EXPECT_EQ(logger.fLast, "_AssertV: Short, 7 (11)");
    InstallAssertLogger(&AssertRecorder::Instance());
}

}  // namespace
