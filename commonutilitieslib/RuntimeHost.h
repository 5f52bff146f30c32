/// @file
/// Brings the runtime up for a program and takes it down again, in the order the runtime
/// needs: assertion logger, clock, threads, socket library, interface table, event loop,
/// task threads. A program calls Start once before it makes its first task or socket, and
/// Stop once its tasks have ended.
#pragma once

#include <cstdint>
#include <string>

class AssertLogger;

/// What RuntimeHost::Start brings up.
struct RuntimeHostConfig {
    /// The task threads to make. 0: none yet; a later Start adds them (the pool is made
    /// once per process).
    uint32_t fTaskThreads = 1;
    /// Whether to start the event loop. Sockets are armed through it; a program of tasks
    /// alone can do without.
    bool fEventLoop = true;
    /// Where assertion texts go (not owned); null: the host's own, which writes each to
    /// standard error (with no logger at all, an assertion would break into a debugger).
    AssertLogger* fAssertLogger = nullptr;
};

/// Brings the runtime up and down; see the file's description. All static.
class RuntimeHost {
public:
    /// Brings up, in order, each part the config asks for that is not up yet, so a later
    /// call can add what an earlier one left out. False with a one-line reason in *error;
    /// what came up before the failure stays up. False after Stop: the runtime starts once
    /// per process.
    static bool Start(const RuntimeHostConfig& config, std::string* error);
    /// Removes the task threads (after they emptied their run queues) and stops the socket
    /// library. The event loop lasts until the process ends. Every task that should finish
    /// must have ended before: tasks parked for later are left behind.
    static void Stop();

    /// Stop requests: Ctrl-C and SIGTERM (console control events on Windows) ask the
    /// program to stop instead of ending it, once watched; a second one ends it as usual.
    /// False when the platform refused.
    static bool WatchStopRequests();
    /// Asks for a stop as the user would; any thread.
    static void RequestStop();
    static bool StopRequested();                      ///< Whether a stop was asked for; any thread.
    static constexpr uint32_t kForever = 0xFFFFFFFF;  ///< No time limit.
    /// Blocks, without polling, until a stop is requested or the time is up (kForever: no
    /// limit); true when one was.
    static bool WaitForStopRequest(uint32_t timeoutMSec = kForever);
};
