/// @file
/// The tasks of one service that must end before it stops. Each member embeds a
/// TaskGroup::Member, joins when it starts and leaves when it is deleted; stopping the group
/// refuses new members, signals every member, and waits, without polling, until all have
/// left or the time is up. Then the host can take the task threads down.
///
///     class Connection : public Task {
///         TaskGroup::Member fMember{this};
///         int64_t Run() override {
///             if (TakeEvents() & kStopEvent) return -1;  // deleted: it leaves the group
///             ...
///     };
///     if (!connection->fMember.Join(&group)) delete connection;  // the group is stopping
///     ...
///     group.Stop(kStopEvent);
///     group.WaitUntilEmpty(5000);
#pragma once

#include <cstdint>

#include "OSCond.h"
#include "OSMutex.h"
#include "OSQueue.h"

class Task;

/// The tasks of one service that must end before it stops; see the file's description.
/// Every call takes the group's lock: any thread.
class TaskGroup {
public:
    /// What a member task embeds: its place in a group.
    class Member {
    public:
        explicit Member(Task* task) : fTask(task), fElem(this) {}  ///< For that task.
        ~Member() { Leave(); }  ///< A member's task leaves as it is deleted.
        Member(const Member&) = delete;
        Member& operator=(const Member&) = delete;

        /// Joins the group, leaving any other first. False, and not a member, once the group
        /// is stopping: the task should end.
        bool Join(TaskGroup* group);
        void Leave();  ///< Leaves the group, if in one.

    private:
        friend class TaskGroup;
        Task* fTask;
        OSQueueElem fElem;
        TaskGroup* fGroup = nullptr;
    };

    TaskGroup() = default;
    ~TaskGroup();  ///< Members should have left; any still in are let go.
    TaskGroup(const TaskGroup&) = delete;
    TaskGroup& operator=(const TaskGroup&) = delete;

    uint32_t Count();  ///< The members now.
    /// Signals every member with the events (any thread).
    void SignalAll(uint32_t events);
    /// Refuses members from now on, then signals every member with the events.
    void Stop(uint32_t events);
    /// Waits until no member is left or the time is up; true when none is.
    bool WaitUntilEmpty(uint32_t waitMSec);

private:
    void Remove(Member* member);

    OSMutex fMutex;  // guards everything below
    OSCond fEmptied;
    OSQueue fMembers;
    bool fStopping = false;
};
