// Brings the runtime up the way a host does, then runs the suite.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "RuntimeHost.h"
#include "support/TestSupport.h"

int main(int argc, char** argv) {
    // The task threads and the event loop come with the suites that need them.
    std::string error;
    const RuntimeHostConfig config{
        .fTaskThreads = 0, .fEventLoop = false, .fAssertLogger = &AssertRecorder::Instance()};
    if (!RuntimeHost::Start(config, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
