// IPortalWork: the Portal business as its parts see it (the task handlers, the staying-online
// recovery, the traffic schedule, the opcodes): the connection and the store, the task queue and
// the timer table, and the outlet to the client.
//
// CPortalServer implements it and hands it to each part it builds. The parts include this header,
// never CPortalServer.h, so the dependencies run one way: the facade holds its parts, the parts
// see this interface and the siblings they were given.
//
// Any thread may call, as the facade's members of the same names say; the queue and timer calls
// take the queue lock or the timer lock only for the call (never both at once).
#pragma once

#include <cstddef>

#include "CAutoString.h"
#include "CTaskMgr.h"
#include "Task.h"

class CPortalConn;
class ISvrInfoCenter;

class IPortalWork {
public:
    // ---- The connection, the store and the client --------------------------------------------
    // The connection; null before the first "ClientStart" and after the shut-down. The object is
    // used only by the work thread and by the facade's life-cycle steps.
    virtual CPortalConn* GetPortalConn() = 0;
    // The information center of the service; null when there is none.
    virtual ISvrInfoCenter* GetInfoCenter() = 0;
    // Sends through the router with source "NetModule"; dropped without a router.
    virtual void PostMsg(const char* target, const char* opcode, const char* parameters) = 0;
    // The network is usable but was not logged on by this service (see CPortalServer).
    virtual void ChangeToUnknowEnv() = 0;

    // ---- The queue and the timer table -------------------------------------------------------
    // Appends a copy of task unless depth tasks already wait (see CTaskMgr::AddTask).
    virtual void AddToQueue(const OrvaneSvr::Task& task, size_t depth) = 0;
    // A one-shot timer entry with id item, due seconds from now or at the next pass (atOnce);
    // replace swaps a pending entry of that id for this one, else the pending one is kept.
    virtual void ArmOnce(OrvaneSvr::TaskItem item, long seconds, bool atOnce, bool replace,
                         const CAutoString& tag) = 0;
    // Removes item from the queue and from the timer table, and does nothing else.
    virtual void Cancel(OrvaneSvr::TaskItem item) = 0;
    // Cancel, except that stopping trafficStatistics ends the pending reports with their
    // bookkeeping.
    virtual void StopTask(OrvaneSvr::TaskItem item) = 0;
    // Stops every item except checkUnknowNet and netChange.
    virtual void StopAllTask() = 0;
    // Arms a network check delay seconds from now, replacing a pending one.
    virtual void CheckNetStatus(int delay) = 0;

    // A task of item at level with tag (empty when null), as the service queues its own work.
    void QueueTask(OrvaneSvr::TaskItem item, OrvaneSvr::TaskLevel level, const CAutoString& tag) {
        OrvaneSvr::Task task;
        task.curTask = item;
        task.level = level;
        if (!tag.IsNull())
            task.tag = tag;
        AddToQueue(task, OrvaneSvr::CTaskMgr::kMaxTasks);
    }
    void QueueTask(const OrvaneSvr::Task& task) {
        AddToQueue(task, OrvaneSvr::CTaskMgr::kMaxTasks);
    }
    // A task asked for over the pipe: level high, and only while the queue has room for the
    // service's own tasks besides (CTaskMgr::kMaxRequestTasks).
    void QueueRequest(OrvaneSvr::TaskItem item, const CAutoString& tag) {
        OrvaneSvr::Task task;
        task.curTask = item;
        task.level = OrvaneSvr::high;
        if (!tag.IsNull())
            task.tag = tag;
        AddToQueue(task, OrvaneSvr::CTaskMgr::kMaxRequestTasks);
    }
    // ArmOnce without a tag. Delays from the portal below one second count as one, so that a bad
    // answer cannot make an item fire without pause.
    void Arm(OrvaneSvr::TaskItem item, long seconds, bool atOnce, bool replace) {
        ArmOnce(item, seconds < 1 ? 1 : seconds, atOnce, replace, CAutoString());
    }

protected:
    // Not deleted through this interface: the facade owns its parts, not the reverse.
    ~IPortalWork() = default;
};
