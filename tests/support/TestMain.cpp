// Brings the runtime up the way a host does, then runs the suite.
#include <gtest/gtest.h>

#include "OS.h"
#include "OSThread.h"
#include "platform/Platform.h"
#include "support/TestSupport.h"

int main(int argc, char** argv) {
    OS::Initialize();
    OSThread::Initialize();
    if (!Platform::StartSocketLibrary()) return 1;
    InstallAssertLogger(&AssertRecorder::Instance());
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
