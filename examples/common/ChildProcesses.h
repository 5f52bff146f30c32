// Running an example program as several processes on one port: the parent starts the
// children (this same program), passes Ctrl-C and SIGTERM on to them, waits for them and
// says how each ended. Linux only; elsewhere each step answers "not supported on this
// platform".
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "NetAddress.h"

class ChildProcesses {
public:
    static constexpr uint32_t kMostProcesses = 64;

    // name begins each line the parent prints, e.g. "echo-service".
    explicit ChildProcesses(const char* name) : fName(name) {}
    ~ChildProcesses();  // lets go of the held port
    ChildProcesses(const ChildProcesses&) = delete;
    ChildProcesses& operator=(const ChildProcesses&) = delete;

    // Binds a TCP socket that shares the address (its port aside) and *port (0: the system
    // chooses, and *port says which) but does not listen: the children, listening with
    // shared ports, get every connection, and no other program can take the port until
    // this object goes.
    bool HoldPort(const NetAddress& address, uint16_t* port, std::string* error);

    // Starts count children of this program, child i with arguments(i) after the program
    // name, each in a process group of its own (so a terminal's Ctrl-C reaches the parent
    // alone, and each child is told once). Then, until every child has ended, passes each
    // SIGINT and SIGTERM on to those still running and prints one line per child as it
    // ends: its process id and its exit status or signal. True when every child exited with
    // status 0. When not all could be started: false with the reason in *error, after the
    // ones started were stopped and waited for.
    bool Run(uint32_t count, const std::function<std::vector<std::string>(uint32_t)>& arguments,
             std::string* error);

private:
    const char* fName;
    int fHeldSocket = -1;
};

// Share number `index` of total split over count parts, the first parts one larger when it
// does not divide evenly.
inline uint32_t ShareOf(uint32_t total, uint32_t count, uint32_t index) {
    return total / count + (index < total % count ? 1 : 0);
}
