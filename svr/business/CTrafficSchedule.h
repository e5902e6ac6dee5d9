// CTrafficSchedule: when the Portal business sends its traffic reports. A LOGIN report at once
// after a login, then a TIMING report every statistics interval, each arming the next; a LOGOUT
// report at once when a logout is asked for, which queues that logout once it has run. The
// reports themselves (counters, body, encryption, post) are CTrafficStatistics' work.
//
// A part of CPortalServer, which owns it and must outlive it, and reaches it as its IPortalWork.
//
// Threads: NetworkTraffic runs on the message thread ("PortalDisConnect") and on the work thread;
// the reports are sent on the work thread. Lock order: the traffic-report lock, then the
// statistics lock, then (through the facade, one at a time) the timer lock and the queue lock.
#pragma once

#include <mutex>
#include <string>

#include "CAutoString.h"
#include "CTrafficStatistics.h"
#include "Task.h"

struct CAuthConfig;
class IPortalWork;

class CTrafficSchedule {
public:
    CTrafficSchedule(IPortalWork& work, const std::string& osRelease, const std::string& procRoot);
    // Holds a reference to its business.
    CTrafficSchedule(const CTrafficSchedule&) = delete;
    CTrafficSchedule& operator=(const CTrafficSchedule&) = delete;

    // See CPortalServer's members of the same names.
    int NetworkTraffic(CTrafficStatistics::tag_STATISTICS_TYPE type, const CAutoString& next);
    int NetworkTrafficStatistics(CTrafficStatistics::tag_STATISTICS_TYPE type);
    // The trafficStatistics task: sends the report its tag names, then queues the logout it
    // carried (LOGOUT) or arms the next TIMING report (LOGIN, TIMING). Work thread.
    void trafficStatistics(OrvaneSvr::Task& task);
    // Every queued or armed report goes, and with it a pending logout report (the logout it
    // carried goes with it).
    void StopReports();
    // The portal ended the login: a logout report still pending has nothing to end.
    void LoginEnded();

private:
    friend class CPortalServerTestAccess;  // lets the unit tests read the login's counters

    // The statistics settings of an enabled "StatsInfor" entry of the portal's configuration
    // into cfg; the address stays empty when the entry is missing, malformed or not enabled.
    static void ReadStatsSettings(CAuthConfig& cfg);
    // NetworkTraffic with m_trafficLock held: ScheduleLoginReport for LOGIN (settings, reading,
    // then ScheduleReport), ScheduleReport for the others.
    int ScheduleLoginReport(CAuthConfig& cfg);
    int ScheduleReport(CAuthConfig& cfg, CTrafficStatistics::tag_STATISTICS_TYPE type,
                       const CAutoString& next);
    // After a LOGIN or TIMING report: the next TIMING report, unless a LOGOUT report is pending.
    void NextTimingReport(const CAutoString& next);
    // StopReports with m_trafficLock held.
    void RemoveReports();
    // The configuration record of the connection; null without either.
    CAuthConfig* Config();

    IPortalWork& m_work;
    CTrafficStatistics m_TrafficStatistics;  // guarded by m_statsLock
    // Guards the configuration's statistics fields and m_bLogoutReportPending, and makes arming
    // a report one step with the decision to arm it: NetworkTraffic runs on both threads. Taken
    // before the timer and queue locks.
    std::mutex m_trafficLock;
    bool m_bLogoutReportPending = false;  // a LOGOUT report is armed or queued and has not run
    // Guards m_TrafficStatistics: the work thread's reports, and the login's reading taken where
    // the login's report is scheduled. Held for a whole report (its post included).
    std::mutex m_statsLock;
};
