// Links against the installed runtime and brings its clock and threads up.
#include <OS.h>
#include <OSThread.h>

#include <cstdio>

int main() {
    OS::Initialize();
    OSThread::Initialize();
    std::printf("installed runtime works: %lld\n", (long long)OS::Milliseconds());
    return OS::Milliseconds() > 0 ? 0 : 1;
}
