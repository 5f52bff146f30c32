// Brings the runtime up for a program and takes it down again, in the order the runtime
// needs: clock, threads, socket library, interface table, event loop, task threads.
#pragma once

#include <cstdint>
#include <string>

class RuntimeHost {
public:
    // Once per process. False with the reason in *error; nothing needs taking down then.
    static bool Start(uint32_t taskThreads, std::string* error);
    // Removes the task threads (after they emptied their run queues) and stops the socket
    // library. The event loop lasts until the process ends. Every task that should finish
    // must have ended before: tasks parked for later are left behind.
    static void Stop();
};
