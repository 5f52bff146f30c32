// Links against the installed runtime and brings it up as a host does.
#include <commonutilities/OS.h>
#include <commonutilities/RuntimeHost.h>

#include <cstdio>
#include <string>

int main() {
    std::string error;
    if (!RuntimeHost::Start({}, &error)) {
        std::printf("installed runtime did not start: %s\n", error.c_str());
        return 1;
    }
    std::printf("installed runtime works: %lld\n", (long long)OS::Milliseconds());
    const bool ticking = OS::Milliseconds() > 0;
    RuntimeHost::Stop();
    return ticking ? 0 : 1;
}
