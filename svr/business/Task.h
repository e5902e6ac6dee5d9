// Task: one piece of Portal work, copied by value between the opcode handlers, the table timer and
// the work thread. TaskItem values double as table-timer ids, so they are fixed.
#pragma once

#include "CAutoString.h"

namespace OrvaneSvr {

// The kind of work; each item names the handler the work loop runs for it. The underlying type
// is fixed so that any timer id converts to an item (ids outside the table run nothing).
enum TaskItem : int {
    noTask = 0,  // end of a chain; nothing runs
    checkNet = 1,
    checkUnknowNet = 2,
    reqConfig = 3,
    reqTicket = 4,
    reqState = 5,
    auth = 6,
    term = 7,
    pluse = 8,  // keep-alive
    checkWifi = 9,
    termForWifi = 10,
    terminal = 11,
    terminalTerm = 12,
    keepPort = 13,  // taken from the queue and dropped
    trafficStatistics = 14,
    // The network the machine uses changed (link, default route or address): queued by the
    // network watcher, never armed as a timer entry.
    netChange = 15,
};

// Priority in the queue; higher runs first.
enum TaskLevel : int {
    low = 0,
    normal = 1,
    high = 2,
    mostHigh = 3,
};

struct Task {
    TaskItem curTask = noTask;
    // Runs right after curTask on the same pass of the work loop, without going through the queue.
    TaskItem nextTask = noTask;
    TaskLevel level = normal;
    // Times in a row this task went back into the queue because its request was answered with a
    // renewed algorithm container; a bound against a portal that renews without end.
    int renewals = 0;
    // The task's argument: the whole pipe message for auth, terminal and terminalTerm, the logout
    // reason for term, a small document for trafficStatistics.
    CAutoString tag{""};
};

}  // namespace OrvaneSvr
