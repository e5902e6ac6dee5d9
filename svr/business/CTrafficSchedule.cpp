#include "CTrafficSchedule.h"

#include <climits>
#include <cstdint>
#include <cstdlib>

#include "CAuthConfig.h"
#include "CBusiness.h"
#include "CLog.h"
#include "CMarkup.h"
#include "CPortalConn.h"
#include "IPortalWork.h"

using OrvaneSvr::Task;

namespace {

CLog* Log() {
    return CLog::GetInst();
}

}  // namespace

CTrafficSchedule::CTrafficSchedule(IPortalWork& work, const std::string& osRelease,
                                   const std::string& procRoot)
    : m_work(work), m_TrafficStatistics(osRelease, procRoot) {}

CAuthConfig* CTrafficSchedule::Config() {
    CPortalConn* conn = m_work.GetPortalConn();
    return conn != nullptr ? conn->GetPortalConf() : nullptr;
}

int CTrafficSchedule::NetworkTraffic(CTrafficStatistics::tag_STATISTICS_TYPE type,
                                     const CAutoString& next) {
    CAuthConfig* cfg = Config();
    if (cfg == nullptr)
        return -1;
    std::lock_guard<std::mutex> guard(m_trafficLock);
    if (type == CTrafficStatistics::LOGIN)
        return ScheduleLoginReport(*cfg);
    return ScheduleReport(*cfg, type, next);
}

int CTrafficSchedule::ScheduleLoginReport(CAuthConfig& cfg) {
    // Taken afresh at every login: reporting is off unless this portal enables it.
    ReadStatsSettings(cfg);
    if (cfg.trafficStatisticsURL.IsEmpty())
        return ScheduleReport(cfg, CTrafficStatistics::LOGIN, CAutoString(""));
    // The counters are read now, whatever becomes of the report below: a logout report may
    // supersede the login's before it runs, and must still count from this login, not from an
    // earlier one.
    int read = 0;
    {
        std::lock_guard<std::mutex> stats(m_statsLock);
        read = m_TrafficStatistics.NetworkTrafficStatistics(cfg.trafficStatisticsURL, cfg.userName,
                                                            cfg.schoolId, cfg.ip4, cfg.wlancip,
                                                            CTrafficStatistics::LOGIN);
    }
    Log()->WriteLog(CLog::INFO, "login traffic reading taken, result %d", read);
    // The window may ask for the logout as soon as it is told of the login, before the login's
    // report is planned here: that report would replace the logout's and the logout would never
    // be made. The logout's report goes instead.
    if (m_bLogoutReportPending) {
        Log()->WriteLog(CLog::INFO, "logout report pending, no login report");
        return -1;
    }
    return ScheduleReport(cfg, CTrafficStatistics::LOGIN, CAutoString(""));
}

int CTrafficSchedule::ScheduleReport(CAuthConfig& cfg, CTrafficStatistics::tag_STATISTICS_TYPE type,
                                     const CAutoString& next) {
    const CAutoString url = cfg.trafficStatisticsURL;
    Log()->WriteLog(CLog::INFO, "[CTrafficSchedule::NetworkTraffic] trafficStatisticsURL is :%s",
                    url.c_str());
    if (url.IsEmpty()) {
        if (type == CTrafficStatistics::LOGOUT)
            m_work.QueueTask(OrvaneSvr::term, OrvaneSvr::high, next);
        return -1;
    }
    CAutoString tag;
    tag.Format("<tag><type>%d</type><next>%s</next></tag>", static_cast<int>(type),
               CBusiness::EscapeValue(next.IsNull() ? "" : next.c_str()).c_str());
    if (type == CTrafficStatistics::LOGOUT)
        m_bLogoutReportPending = true;
    // LOGIN and LOGOUT go now and supersede a pending TIMING report; TIMING keeps a pending one.
    // An interval below a second from the portal counts as one, so reports never run back to
    // back without pause.
    const bool timing = type == CTrafficStatistics::TIMING;
    const int64_t interval = cfg.trafficStatisticsInterval;
    const long delay = interval < 1          ? 1
                       : interval > LONG_MAX ? LONG_MAX
                                             : static_cast<long>(interval);
    m_work.ArmOnce(OrvaneSvr::trafficStatistics, timing ? delay : 0, !timing, !timing, tag);
    return 0;
}

void CTrafficSchedule::NextTimingReport(const CAutoString& next) {
    CAuthConfig* cfg = Config();
    if (cfg == nullptr)
        return;
    std::lock_guard<std::mutex> guard(m_trafficLock);
    // A logout asked for while this report was on its way has armed (or queued) its own report;
    // stopping the item now would cancel it and the logout with it.
    if (m_bLogoutReportPending) {
        Log()->WriteLog(CLog::INFO, "logout report pending, no further timed report");
        return;
    }
    RemoveReports();
    ScheduleReport(*cfg, CTrafficStatistics::TIMING, next);
}

void CTrafficSchedule::ReadStatsSettings(CAuthConfig& cfg) {
    cfg.trafficStatisticsURL = "";
    const auto entry = cfg.funCfg.find(CAutoString("StatsInfor"));
    if (entry == cfg.funCfg.end())
        return;
    CMarkup xml;
    if (!xml.SetDoc(entry->second.c_str()) || !xml.FindElem("StatsInfor"))
        return;
    if (std::strtol(xml.GetAttrib("enable").c_str(), nullptr, 10) != 1)
        return;
    cfg.trafficStatisticsInterval = std::strtol(xml.GetAttrib("interval").c_str(), nullptr, 10);
    cfg.trafficStatisticsURL = xml.GetAttrib("url");
}

int CTrafficSchedule::NetworkTrafficStatistics(CTrafficStatistics::tag_STATISTICS_TYPE type) {
    CAuthConfig* cfg = Config();
    if (cfg == nullptr)
        return -1;
    CAutoString url;
    {
        std::lock_guard<std::mutex> guard(m_trafficLock);
        url = cfg->trafficStatisticsURL;
    }
    std::lock_guard<std::mutex> stats(m_statsLock);
    return m_TrafficStatistics.NetworkTrafficStatistics(url, cfg->userName, cfg->schoolId, cfg->ip4,
                                                        cfg->wlancip, type);
}

void CTrafficSchedule::trafficStatistics(Task& task) {
    CMarkup tag;
    if (!tag.SetDoc(task.tag.c_str())) {
        Log()->WriteLog(CLog::INFO, "traffic report task without a valid tag");
        return;
    }
    CAutoString type(""), next("");
    if (tag.FindChildElem("type"))
        type = tag.GetChildData();
    tag.ResetChildPos();
    if (tag.FindChildElem("next"))
        next = tag.GetChildData();
    if (type.IsEmpty())
        return;
    const long kind = std::strtol(type.c_str(), nullptr, 10);
    if (kind != CTrafficStatistics::LOGOUT && kind != CTrafficStatistics::LOGIN &&
        kind != CTrafficStatistics::TIMING) {
        Log()->WriteLog(CLog::INFO, "traffic report of unknown type %ld dropped", kind);
        return;
    }
    const int sent =
        NetworkTrafficStatistics(static_cast<CTrafficStatistics::tag_STATISTICS_TYPE>(kind));
    Log()->WriteLog(CLog::INFO, "traffic report type %ld sent, result %d", kind, sent);
    if (kind == CTrafficStatistics::LOGOUT) {
        {
            std::lock_guard<std::mutex> guard(m_trafficLock);
            m_bLogoutReportPending = false;
        }
        // The logout follows its report, whatever became of the report.
        m_work.QueueTask(OrvaneSvr::term, OrvaneSvr::high, next);
    } else {
        NextTimingReport(next);
    }
}

void CTrafficSchedule::StopReports() {
    std::lock_guard<std::mutex> guard(m_trafficLock);
    RemoveReports();
}

void CTrafficSchedule::RemoveReports() {
    m_work.Cancel(OrvaneSvr::trafficStatistics);
    // A logout report that was among them will never run: nothing is pending any more, or every
    // later login would go without its reports.
    m_bLogoutReportPending = false;
}

void CTrafficSchedule::LoginEnded() {
    std::lock_guard<std::mutex> guard(m_trafficLock);
    m_bLogoutReportPending = false;
}
