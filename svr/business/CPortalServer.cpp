#include "CPortalServer.h"

#include <time.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "CLog.h"
#include "CMarkup.h"
#include "CNetStatePoster.h"
#include "CSimpleFile.h"
#include "CXMLOpt.h"
#include "ISvrInfoCenter.h"

using OrvaneSvr::Task;
using OrvaneSvr::TaskItem;
using OrvaneSvr::TaskLevel;

namespace {

// text with the content of every "<ticket>" element cut down to what CLog::Abbreviate keeps.
std::string AbbreviateTickets(std::string text) {
    static const std::string kOpen = "<ticket>";
    static const std::string kClose = "</ticket>";
    size_t pos = 0;
    while ((pos = text.find(kOpen, pos)) != std::string::npos) {
        pos += kOpen.size();
        const size_t end = text.find(kClose, pos);
        if (end == std::string::npos)
            return text.substr(0, pos) + CLog::Abbreviate(text.substr(pos).c_str());
        const std::string shortened = CLog::Abbreviate(text.substr(pos, end - pos).c_str());
        text.replace(pos, end - pos, shortened);
        pos += shortened.size() + kClose.size();
    }
    return text;
}

constexpr const char* kStateOpcode = "NetStateMessageResp";
// Delay of the re-probe while the network is open but not logged on by this service.
constexpr int kUnknownNetProbe = 5;
// Codes of the service's own offline reports (texts in conf/code.xml).
constexpr int kNetworkDown = 150120;      // no carrier or no default route: waiting
constexpr int kLoggingInAgain = 150121;   // sub-code: seconds to the next attempt
constexpr int kRecoveryStopped = 150122;  // sub-code: the code that ended the login
// How long the first keep-alive after a resume waits for the network to come back.
constexpr std::chrono::seconds kResumeWait{15};
// A boot-time lead of the monotonic clock that grew by this much means the machine slept.
constexpr long kSleepThreshold = 5;

// Seconds the machine has spent suspended since boot (CLOCK_BOOTTIME counts them, the monotonic
// clock does not); -1 when either clock cannot be read.
long SecondsAsleep() {
    timespec boot{}, mono{};
    if (clock_gettime(CLOCK_BOOTTIME, &boot) != 0 || clock_gettime(CLOCK_MONOTONIC, &mono) != 0)
        return -1;
    return static_cast<long>(boot.tv_sec - mono.tv_sec);
}

CLog* Log() {
    return CLog::GetInst();
}

}  // namespace

CPortalServer* CPortalServer::GetInst() {
    // Never destroyed: the business may still be reached from its threads while the process ends.
    static CPortalServer* const instance = [] {
        HostPaths paths;
        paths.watchNetwork = true;
        return new CPortalServer(paths);
    }();
    return instance;
}

CPortalServer::CPortalServer() : CPortalServer(HostPaths()) {}

CPortalServer::CPortalServer(const HostPaths& paths)
    : m_adapterCard(paths.route.c_str(), paths.routeIPv6.c_str()),
      m_NetHelper(paths.resolver.c_str(), paths.resolverSaved.c_str()),
      m_WiFiSharedValidate(paths.osRelease, paths.procRoot),
      m_TrafficStatistics(paths.osRelease, paths.procRoot),
      m_watchNetwork(paths.watchNetwork) {}

CPortalServer::~CPortalServer() {
    ServerStatus(-1);
    StopThreads();
}

void CPortalServer::StopThreads() {
    if (m_netWatch)
        m_netWatch->Stop();
    StopWorker();
    DispatchTask(false);
}

void CPortalServer::StopWorker() {
    m_threadWork.Stopping();
    m_taskMgr.Wake();  // an idle worker looks at its flag at once
    // Waits as long as the handler in progress takes: a portal request is never cut off.
    m_threadWork.Stop(1000, true);
}

void CPortalServer::InitService(IServer* server) {
    CBusiness::InitService(server);
    if (server != nullptr)
        server->RegisterBusiness(kName, this);
}

void CPortalServer::InitOpcodeFun() {
    AddOpcode<CPortalServer>("ClientStart", &CPortalServer::Start);
    AddOpcode<CPortalServer>("CheckEnv", &CPortalServer::CheckEnv);
    AddOpcode<CPortalServer>("PortalConnect", &CPortalServer::Connect);
    AddOpcode<CPortalServer>("PortalDisConnect", &CPortalServer::DisConnect);
    AddOpcode<CPortalServer>("GetTerminalData", &CPortalServer::TerminalRequest);
    AddOpcode<CPortalServer>("TerminalTermSend", &CPortalServer::TerminalTermRequest);
}

void CPortalServer::DefaultDeal(CXMLOpt& message) {
    const CAutoString opcode = message.GetValue("OpC");
    const CAutoString source = message.GetValue("OpS");
    Log()->WriteLog(CLog::INFO, "CPortalServer: opcode %s from %s not handled", opcode.c_str(),
                    source.c_str());
}

ISvrInfoCenter* CPortalServer::GetInfoCenter() {
    ISvrInfoCenter* info = m_pInfoCenter.load();
    if (info == nullptr && m_pService != nullptr)
        info = m_pService->GetInfoCenter();
    return info;
}

// ---- Life cycle --------------------------------------------------------------------------------

void CPortalServer::ServerStatus(int status) {
    (void)status;
    Log()->WriteLog(CLog::INFO, "CPortalServer::ServerStatus");
    std::lock_guard<std::mutex> life(m_lifeLock);
    if (!m_connOwner)
        return;
    // No network event may queue work for a connection that is going away.
    if (m_netWatch)
        m_netWatch->Stop();
    ClearTask();
    Work(0);
    // A handler that finished during the stop may have armed entries; the stopping timer thread
    // empties the table, so nothing fires into a queue that nobody reads.
    DispatchTask(false);
    // Tasks left behind belong to the connection that is going away.
    m_taskMgr.RemoveAllTask();
    DestroyConnection();
}

void CPortalServer::DestroyConnection() {
    {
        std::lock_guard<std::mutex> guard(m_ticketLock);
        m_lastLogoutReason = "7";  // the logout of a login still held, if any
    }
    m_connOwner->ExitPrepare();
    m_connOwner->Destroy();
    m_pPortalConn = nullptr;
    m_connOwner.reset();
}

void CPortalServer::Start(const char* source, CXMLOpt& message) {
    (void)source;
    (void)message;
    std::lock_guard<std::mutex> life(m_lifeLock);
    if (!m_connOwner)
        StartMachine();
    else
        ResyncClient();
}

void CPortalServer::StartMachine() {
    m_connOwner = std::make_unique<CPortalConn>(this, GetInfoCenter());
    // A missing algorithm module is reported by the requests that need it, not here.
    m_connOwner->Init();
    m_pPortalConn = m_connOwner.get();
    // Before the work thread, which reads the watcher from its first task on.
    StartNetWatch();
    DispatchTask(true);
    Work(1);
    // No network check here: the client asks for one with "CheckEnv".
    PostMsg(kName, "ClientStartComplete", "");
}

void CPortalServer::ResyncClient() {
    CPortalConn* conn = m_connOwner.get();
    // Under the connection's server lock: the work thread may be moving between servers.
    conn->RefillServerLists();
    ISvrInfoCenter* info = GetInfoCenter();
    if (info != nullptr)
        info->SynchroGlobalValue();

    switch (conn->GetNetState()) {
        case INetConn::ES_CONNECTING:
        case INetConn::ES_CONNECTED:
        case INetConn::ES_CONNECTFAIL:
        case INetConn::ES_DISCONNECTING:
        case INetConn::ES_DISCONNECTED:
        case INetConn::ES_DISCONNECTFAIL:
            // The client shows the ready page first, then the current state on top of it.
            PostNetStateMessage(INetConn::ET_PORTAL, INetConn::ES_NONE, INetConn::ES_PRECONNECTED,
                                0, CAutoString(""));
            conn->PostLastNetStateMessage();
            break;
        default:
            if (m_offline.load() || m_autoLogin.Active()) {
                // The service is working on it: the new window shows that, not a new check.
                conn->ReportOffline(IsLinkUp() ? kLoggingInAgain : kNetworkDown,
                                    CAutoString(IsLinkUp() ? "0" : ""));
            } else {
                CheckNetStatus(0);
            }
            break;
    }
}

// ---- Opcodes -----------------------------------------------------------------------------------

void CPortalServer::CheckEnv(const char* source, CXMLOpt& message) {
    (void)source;
    (void)message;
    if (m_autoLogin.Active()) {
        // The window asks after every logout it is shown; a recovery paces its own attempts.
        Log()->WriteLog(CLog::INFO, "check asked for during a recovery: left to its schedule");
        return;
    }
    CheckNetStatus(0);
}

void CPortalServer::Connect(const char* source, CXMLOpt& message) {
    (void)source;
    // The whole message travels as the tag; the connection reads account and password from it.
    QueueTask(OrvaneSvr::auth, OrvaneSvr::high, message.GetDoc(nullptr),
              OrvaneSvr::CTaskMgr::kMaxRequestTasks);
}

void CPortalServer::DisConnect(const char* source, CXMLOpt& message) {
    (void)source;
    DisConnect(message.GetValue("P.src"));
}

void CPortalServer::TerminalRequest(const char* source, CXMLOpt& message) {
    (void)source;
    StopTask(OrvaneSvr::terminal);
    QueueTask(OrvaneSvr::terminal, OrvaneSvr::high, message.GetDoc(nullptr),
              OrvaneSvr::CTaskMgr::kMaxRequestTasks);
}

void CPortalServer::TerminalTermRequest(const char* source, CXMLOpt& message) {
    (void)source;
    {
        std::lock_guard<std::mutex> guard(m_ticketLock);
        m_otherTicket = message.GetValue("P.ticket");
    }
    QueueTask(OrvaneSvr::terminalTerm, OrvaneSvr::high, message.GetDoc(nullptr),
              OrvaneSvr::CTaskMgr::kMaxRequestTasks);
}

void CPortalServer::SetAutoLogin(const CAutoString& loginMessage) {
    m_autoLogin.Remember(loginMessage, true);
}

bool CPortalServer::IsLinkUp() {
    return !m_netWatch || m_netWatch->Current().up;
}

CAutoString CPortalServer::LastLogoutReason() {
    std::lock_guard<std::mutex> guard(m_ticketLock);
    return m_lastLogoutReason;
}

CAutoString CPortalServer::GetOtherTicket() {
    std::lock_guard<std::mutex> guard(m_ticketLock);
    return m_otherTicket;
}

void CPortalServer::QueueTask(TaskItem item, TaskLevel level, const CAutoString& tag,
                              size_t depth) {
    Task task;
    task.curTask = item;
    task.level = level;
    if (!tag.IsNull())
        task.tag = tag;
    m_taskMgr.AddTask(task, depth);
}

// ---- Messages ----------------------------------------------------------------------------------

void CPortalServer::PostMsg(const char* target, const char* opcode, const char* parameters) {
    CBusiness::PostMsg(kSource, target, opcode, parameters);
}

// ---- Services for the connection (work thread) ------------------------------------------------

int CPortalServer::GetIpAndMac(CAutoString& ip4, CAutoString& ip6, CAutoString& mac) {
    CPortalConn* conn = GetPortalConn();
    CAuthConfig* cfg = conn != nullptr ? conn->GetPortalConf() : nullptr;
    if (cfg != nullptr)
        cfg->m_afType = -1;
    CAutoString name("");
    if (m_adapterCard.GetActiveCardName(name) < 0 &&
        m_adapterCard.GetActiveInterfaceNameIPv6(name) == -1)
        return -1;
    if (m_adapterCard.GetIpAndMac(name, ip4, mac) == 0) {
        if (cfg != nullptr)
            cfg->m_afType = 2;  // AF_INET
        return 1;
    }
    if (m_adapterCard.GetIPAddress(10, name, ip6) == -1)
        return -1;
    if (cfg != nullptr)
        cfg->m_afType = 10;  // AF_INET6
    return 1;
}

int CPortalServer::SetDNS(CAutoString& dns1, CAutoString& dns2) {
    std::lock_guard<std::mutex> guard(m_resolverLock);
    return m_NetHelper.SetDNSServers(dns1, dns2);
}

int CPortalServer::RestoreDNS() {
    std::lock_guard<std::mutex> guard(m_resolverLock);
    return m_NetHelper.RestoreDNSServers();
}

int CPortalServer::RestoreDNSForExit() {
    std::lock_guard<std::mutex> guard(m_resolverLock);
    m_NetHelper.RefuseRewrites();
    return m_NetHelper.RestoreDNSServers();
}

std::string CPortalServer::DefaultResolverSaved() {
    return CSimpleFile::WorkingDirectory() + "/conf/resolv.conf.saved";
}

void CPortalServer::PostNetStateMessage(INetConn::ETYPE type, INetConn::ESTATE eStateOld,
                                        INetConn::ESTATE eStateNew, int iErrorcode,
                                        CAutoString subErrCode) {
    const CAutoString param =
        CNetStatePoster::FormatPlain(type, eStateOld, eStateNew, iErrorcode, subErrCode.c_str());
    PostMsg(kName, kStateOpcode, param.c_str());
}

void CPortalServer::PostNetStateMessageEx(INetConn::ETYPE type, INetConn::ESTATE eStateOld,
                                          INetConn::ESTATE eStateNew, int iErrorcode,
                                          const char* pSubType, const char* pExtern) {
    const CAutoString param =
        CNetStatePoster::FormatEx(type, eStateOld, eStateNew, iErrorcode, pSubType, pExtern);
    PostMsg(kName, kStateOpcode, param.c_str());
}

// ---- Timer and task control --------------------------------------------------------------------

void CPortalServer::CheckNetStatus(int delay) {
    AddTask(OrvaneSvr::checkNet, 1, false, delay, true);
}

void CPortalServer::ChangeToUnknowEnv() {
    Log()->WriteLog(CLog::INFO, "net is connected and not connected by myself, is unknow type");
    StopAllTask();
    m_bPortalEnv = 0;
    PostNetStateMessage(INetConn::ET_UNKNOWN, INetConn::ES_CONNECTING, INetConn::ES_CONNECTED, 0,
                        CAutoString(""));
    AddTask(OrvaneSvr::checkUnknowNet, 1, false, kUnknownNetProbe, true);
}

void CPortalServer::StopTask(TaskItem item) {
    if (item == OrvaneSvr::trafficStatistics) {
        std::lock_guard<std::mutex> guard(m_trafficLock);
        RemoveReports();
        return;
    }
    // Two separate steps: the queue lock is released before the timer lock is taken.
    m_taskMgr.RemoveTask(item);
    RemoveTask(item);
}

void CPortalServer::RemoveReports() {
    m_taskMgr.RemoveTask(OrvaneSvr::trafficStatistics);
    RemoveTask(OrvaneSvr::trafficStatistics);
    // A logout report that was among them will never run: nothing is pending any more, or every
    // later login would go without its reports.
    m_bLogoutReportPending = false;
}

void CPortalServer::StopAllTask() {
    Log()->WriteLog(CLog::INFO, "stop all task");
    static const TaskItem kStopped[] = {
        OrvaneSvr::checkNet,
        OrvaneSvr::reqConfig,
        OrvaneSvr::reqTicket,
        OrvaneSvr::reqState,
        OrvaneSvr::auth,
        OrvaneSvr::term,
        OrvaneSvr::pluse,
        OrvaneSvr::checkWifi,
        OrvaneSvr::termForWifi,
        OrvaneSvr::terminal,
        OrvaneSvr::terminalTerm,
        OrvaneSvr::keepPort,
        OrvaneSvr::trafficStatistics,
    };
    for (TaskItem item : kStopped)
        StopTask(item);
}

TaskLevel CPortalServer::LevelOfTimerTask(int id) {
    switch (id) {
        case OrvaneSvr::checkNet:
        case OrvaneSvr::reqTicket:
        case OrvaneSvr::netChange:
            return OrvaneSvr::mostHigh;
        case OrvaneSvr::pluse:
        case OrvaneSvr::terminal:
        case OrvaneSvr::terminalTerm:
        case OrvaneSvr::keepPort:
        case OrvaneSvr::trafficStatistics:
            return OrvaneSvr::high;
        case OrvaneSvr::checkWifi:
        case OrvaneSvr::termForWifi:
            return OrvaneSvr::low;
        default:  // checkUnknowNet, reqState and anything else
            return OrvaneSvr::normal;
    }
}

void CPortalServer::DoTimeTask(int id) {
    CAutoString empty("");
    DoTimeTask(id, empty);
}

void CPortalServer::DoTimeTask(int id, CAutoString& tag) {
    // Runs with the timer lock held; appending takes only the queue lock, which is innermost.
    QueueTask(static_cast<TaskItem>(id), LevelOfTimerTask(id), tag);
}

int CPortalServer::NetworkTraffic(CTrafficStatistics::tag_STATISTICS_TYPE type,
                                  const CAutoString& next) {
    CPortalConn* conn = GetPortalConn();
    CAuthConfig* cfg = conn != nullptr ? conn->GetPortalConf() : nullptr;
    if (cfg == nullptr)
        return -1;
    std::lock_guard<std::mutex> guard(m_trafficLock);
    if (type == CTrafficStatistics::LOGIN)
        return ScheduleLoginReport(*cfg);
    return ScheduleReport(*cfg, type, next);
}

int CPortalServer::ScheduleLoginReport(CAuthConfig& cfg) {
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

int CPortalServer::ScheduleReport(CAuthConfig& cfg, CTrafficStatistics::tag_STATISTICS_TYPE type,
                                  const CAutoString& next) {
    const CAutoString url = cfg.trafficStatisticsURL;
    Log()->WriteLog(CLog::INFO, "[CPortalServer::NetworkTraffic] trafficStatisticsURL is :%s",
                    url.c_str());
    if (url.IsEmpty()) {
        if (type == CTrafficStatistics::LOGOUT)
            QueueTask(OrvaneSvr::term, OrvaneSvr::high, next);
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
    AddTask(OrvaneSvr::trafficStatistics, 1, !timing, timing ? delay : 0, !timing, tag);
    return 0;
}

void CPortalServer::NextTimingReport(const CAutoString& next) {
    CPortalConn* conn = GetPortalConn();
    CAuthConfig* cfg = conn != nullptr ? conn->GetPortalConf() : nullptr;
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

void CPortalServer::ReadStatsSettings(CAuthConfig& cfg) {
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

int CPortalServer::NetworkTrafficStatistics(CTrafficStatistics::tag_STATISTICS_TYPE type) {
    CPortalConn* conn = GetPortalConn();
    CAuthConfig* cfg = conn != nullptr ? conn->GetPortalConf() : nullptr;
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

void CPortalServer::DisConnect(CAutoString reason) {
    // A logout the user asked for, the shut-down and sharing end every recovery; the user's
    // logout also forgets the log-in, so nothing logs in again until the user does.
    if (reason == "2")
        m_autoLogin.Forget();
    else if (reason == "6" || reason == "7")
        m_autoLogin.Stop();
    // The report, once sent, queues the logout; without a report address it is queued at once.
    NetworkTraffic(CTrafficStatistics::LOGOUT, reason);
}

// ---- Work loop ---------------------------------------------------------------------------------

void CPortalServer::Work(int start) {
    if (start != 0) {
        if (!m_threadWork.Run(WorkThread, this, &m_bWorking)) {
            std::printf("Work thread error, try againt\n");
            std::fflush(stdout);
            m_threadWork.Run(WorkThread, this, &m_bWorking);
        }
        return;
    }
    StopAllTask();
    StopWorker();
}

void* CPortalServer::WorkThread(void* self) {
    static_cast<CPortalServer*>(self)->Work();
    return nullptr;
}

void CPortalServer::Work() {
    while (m_bWorking.load()) {
        Task task;
        if (!m_taskMgr.GetTask(task)) {
            ++m_idlePasses;
            // Woken early by a new task or a stop; otherwise looks again after kIdleWait.
            m_taskMgr.WaitForTask(kIdleWait, &m_bWorking);
            continue;
        }
        if (task.curTask == OrvaneSvr::noTask)
            continue;
        RunChain(task);
    }
    Log()->WriteLog(CLog::INFO, "work thread stopped");
}

void CPortalServer::RunChain(Task& task) {
    for (;;) {
        RunTask(task);
        if (task.nextTask == OrvaneSvr::noTask)
            return;
        task.curTask = task.nextTask;
        task.nextTask = OrvaneSvr::noTask;
        Log()->WriteLog(CLog::INFO, "cur task is %d,next task is %d",
                        static_cast<int>(task.curTask), static_cast<int>(task.nextTask));
    }
}

void CPortalServer::RunTask(Task& task) {
    TaskFun handler = HandlerOf(task.curTask);
    if (handler != nullptr)
        (this->*handler)(task);
}

CPortalServer::TaskFun CPortalServer::HandlerOf(TaskItem item) {
    switch (item) {
        case OrvaneSvr::checkNet:
            return &CPortalServer::checkNet;
        case OrvaneSvr::checkUnknowNet:
            return &CPortalServer::checkUnknowNet;
        case OrvaneSvr::reqConfig:
            return &CPortalServer::reqConfig;
        case OrvaneSvr::reqTicket:
            return &CPortalServer::reqTicket;
        case OrvaneSvr::reqState:
            return &CPortalServer::reqState;
        case OrvaneSvr::auth:
            return &CPortalServer::auth;
        case OrvaneSvr::term:
            return &CPortalServer::term;
        case OrvaneSvr::pluse:
            return &CPortalServer::pluse;
        case OrvaneSvr::checkWifi:
            return &CPortalServer::checkWifi;
        case OrvaneSvr::termForWifi:
            return &CPortalServer::termForWifi;
        case OrvaneSvr::terminal:
            return &CPortalServer::TerminalRequestFun;
        case OrvaneSvr::terminalTerm:
            return &CPortalServer::TerminalTermRequestFun;
        case OrvaneSvr::trafficStatistics:
            return &CPortalServer::trafficStatistics;
        case OrvaneSvr::netChange:
            return &CPortalServer::netChange;
        default:
            return nullptr;  // noTask, keepPort and values outside the table
    }
}

// ---- Task handlers -----------------------------------------------------------------------------
// Each handler makes at most one portal call and decides from its result what comes next. A
// result of 2 means the algorithm module was renewed: the task goes back into the queue as it is.

bool CPortalServer::RequeueRenewed(Task& task, CPortalConn& conn) {
    if (task.renewals < kMaxRenewalRequeues) {
        Task again = task;
        ++again.renewals;
        m_taskMgr.AddTask(again);
        return true;
    }
    Log()->WriteLog(CLog::WARN, "task %d renewed %d times in a row, given up",
                    static_cast<int>(task.curTask), task.renewals);
    if (task.curTask == OrvaneSvr::auth || task.curTask == OrvaneSvr::term) {
        conn.NetStateChange(INetConn::ES_CONNECTING, INetConn::ES_CONNECTFAIL, 150003,
                            CAutoString(""));
    } else {
        conn.NetStateChange(INetConn::ES_PRECONNECTING, INetConn::ES_PRECONNECTFAIL, 150003,
                            CAutoString(""));
    }
    return false;
}

void CPortalServer::checkNet(Task& task) {
    (void)task;
    Log()->WriteLog(CLog::INFO, "check net status start");
    CPortalConn* conn = GetPortalConn();
    if (conn == nullptr)
        return;
    if (!IsLinkUp()) {
        // Nothing to detect without a link: the link's return starts the check again.
        Log()->WriteLog(CLog::INFO, "no link or default route: waiting for the network");
        conn->ReportOffline(kNetworkDown, CAutoString(""));
        // A console run that may not log in by itself ends here, as a failed detection.
        if (m_autoLogin.Persistent() && !AutoLoginEnabled())
            ReportFinal(*conn, 20010204);
        return;
    }
    conn->NetStateChange(INetConn::ES_PRECONNECTING, INetConn::ES_PRECONNECTING, 30000101,
                         CAutoString(""));
    CAutoString name("");
    if (m_adapterCard.GetActiveCardName(name) != 0 &&
        m_adapterCard.GetActiveInterfaceNameIPv6(name) != 0) {
        Log()->WriteLog(CLog::INFO, "no valid net card");
        conn->NetStateChange(INetConn::ES_PRECONNECTING, INetConn::ES_PRECONNECTFAIL, 20010204,
                             CAutoString(""));
        m_bPortalEnv = 0;
        conn->ExitPrepare();
        AttemptFailed(20010204);
        return;
    }
    CAutoString ip4(""), ip6(""), mac("");
    if (GetIpAndMac(ip4, ip6, mac) != 1) {
        conn->NetStateChange(INetConn::ES_PRECONNECTING, INetConn::ES_PRECONNECTFAIL, 150107,
                             CAutoString(""));
        AttemptFailed(150107);
        return;
    }
    CAuthConfig* cfg = conn->GetPortalConf();
    if (cfg != nullptr) {
        cfg->ip4 = ip4;
        cfg->ip6 = ip6;
        cfg->mac = mac;
    }
    conn->SetServerIp();
    AfterProbe(*conn, conn->RequestConfig(0));
}

void CPortalServer::AfterProbe(CPortalConn& conn, int found) {
    if (found == 1) {
        m_bPortalEnv = 1;
        conn.ResetNetConfig();
        Log()->WriteLog(CLog::INFO, "[CPortalServer::checkNet]reqTicket...");
        QueueTask(OrvaneSvr::reqTicket, OrvaneSvr::normal, CAutoString(""));
    } else if (found == -1) {
        m_bPortalEnv = 0;
        Log()->WriteLog(CLog::INFO, "check net status is fail");
        conn.NetStateChange(INetConn::ES_PRECONNECTING, INetConn::ES_PRECONNECTFAIL, 20010207,
                            CAutoString(""));
        AttemptFailed(20010207);
    } else if (found == 0) {
        if (conn.GetConnCfg() == 1) {
            // A login of an earlier run is still open: end it, then look at the network again.
            Log()->WriteLog(CLog::INFO, "net is connected,now disconnect");
            Task logout;
            logout.curTask = OrvaneSvr::term;
            logout.nextTask = OrvaneSvr::checkNet;
            logout.tag = "5";
            m_taskMgr.AddTask(logout);
        } else {
            ChangeToUnknowEnv();
        }
    }
}

void CPortalServer::checkUnknowNet(Task& task) {
    (void)task;
    Log()->WriteLog(CLog::INFO, "checkUnknowNet");
    if (IsPortalEnv()) {
        Log()->WriteLog(CLog::INFO, "checkUnknowNet return portal env");
        return;
    }
    CPortalConn* conn = GetPortalConn();
    if (conn == nullptr)
        return;
    const int found = conn->RequestConfig(0);
    if (found == 1) {
        Log()->WriteLog(CLog::INFO, "env change to portal");
        QueueTask(OrvaneSvr::reqTicket, OrvaneSvr::normal, CAutoString(""));
    } else if (found == 0) {
        Log()->WriteLog(CLog::INFO, "env still unknow env");
        QueueTask(OrvaneSvr::reqState, OrvaneSvr::normal, CAutoString(""));
    } else {
        Arm(OrvaneSvr::checkUnknowNet, kUnknownNetProbe, false, true);
    }
}

void CPortalServer::reqConfig(Task& task) {
    // Configuration is fetched by checkNet and checkUnknowNet; this item has nothing to do.
    (void)task;
}

void CPortalServer::reqTicket(Task& task) {
    CPortalConn* conn = GetPortalConn();
    if (conn == nullptr)
        return;
    int ret = conn->RequestTicket();
    if (ret == 2 && !RequeueRenewed(task, *conn))
        ret = -1;  // as for a refused container
    if (ret == 2)
        return;
    if (ret == -99) {
        QueueTask(OrvaneSvr::checkNet, OrvaneSvr::normal, CAutoString(""));
    } else if (ret == 1) {
        const CAuthConfig& cfg = *conn->GetPortalConf();
        // A fresh ticket before this one expires; meanwhile the account state is polled.
        Arm(OrvaneSvr::reqTicket, cfg.expire, false, true);
        Arm(OrvaneSvr::reqState, static_cast<long>(cfg.stateInterval), true, false);
        if (m_autoLogin.Active()) {
            Log()->WriteLog(CLog::INFO, "ticket obtained: logging in again");
            QueueTask(OrvaneSvr::auth, OrvaneSvr::high, m_autoLogin.Login());
        }
    } else {
        AttemptFailed(conn->LastErrorCode());
    }
}

void CPortalServer::reqState(Task& task) {
    CPortalConn* conn = GetPortalConn();
    if (conn == nullptr)
        return;
    int ret = conn->CheckConnectState(1);
    if (ret == 2 && !RequeueRenewed(task, *conn))
        ret = -1;  // as for a refused container
    if (ret == 2)
        return;
    if (ret == 1) {
        m_bPortalEnv = 1;
        m_offline = false;
        RecoveryDone();
        StartKeepAlive(*conn->GetPortalConf());
    } else if (ret == -14) {
        StopTask(OrvaneSvr::pluse);
        StopTask(OrvaneSvr::checkWifi);
        StopTask(OrvaneSvr::termForWifi);
        StopTask(OrvaneSvr::trafficStatistics);
        RestoreDNS();  // the login is over: its name servers go with it
        {
            // The portal ended the login: a logout report still pending has nothing to end.
            std::lock_guard<std::mutex> guard(m_trafficLock);
            m_bLogoutReportPending = false;
        }
        QueueTask(OrvaneSvr::reqTicket, OrvaneSvr::normal, CAutoString(""));
    } else if (ret != -1) {
        Arm(OrvaneSvr::reqState, static_cast<long>(conn->GetPortalConf()->stateInterval), false,
            false);
    }
}

void CPortalServer::auth(Task& task) {
    // The tag holds the account and password: it is never written to the log.
    CPortalConn* conn = GetPortalConn();
    if (conn == nullptr)
        return;
    if (conn->GetNetState() == INetConn::ES_CONNECTED &&
        (task.tag == m_autoLogin.Login() || m_autoLogin.Persistent())) {
        // The console's own log-in and a recovery's can meet on one ticket.
        Log()->WriteLog(CLog::INFO, "already logged in with this log-in");
        return;
    }
    int ret = conn->Connect(task.tag.c_str());
    if (ret == 2 && !RequeueRenewed(task, *conn))
        ret = -1;  // as for a refused container
    if (ret == 2)
        return;
    if (ret == 1) {
        m_bPortalEnv = 1;
        m_offline = false;
        // Kept in memory only, for logging in again after an end the user did not ask for.
        m_autoLogin.Remember(task.tag);
        RecoveryDone();
        StartKeepAlive(*conn->GetPortalConf());
        NetworkTraffic(CTrafficStatistics::LOGIN, CAutoString(""));
    } else if (!AttemptFailed(conn->LastErrorCode())) {
        QueueTask(OrvaneSvr::reqTicket, OrvaneSvr::high, CAutoString(""));
    }
}

void CPortalServer::StartKeepAlive(const CAuthConfig& cfg) {
    StopTask(OrvaneSvr::reqTicket);
    StopTask(OrvaneSvr::reqState);
    Arm(OrvaneSvr::pluse, cfg.iInterval, true, true);
    if (cfg.checkWifiInterval != 0)
        Arm(OrvaneSvr::checkWifi, 2, false, true);
}

void CPortalServer::term(Task& task) {
    Log()->WriteLog(CLog::INFO, "logout reason %s", task.tag.c_str());
    CPortalConn* conn = GetPortalConn();
    if (conn == nullptr)
        return;
    {
        // Recorded before the state messages go out, so whoever reads them can name the cause.
        std::lock_guard<std::mutex> guard(m_ticketLock);
        m_lastLogoutReason = task.tag;
    }
    int ret = conn->DisConnect(task.tag.c_str());
    if (ret == 2 && !RequeueRenewed(task, *conn))
        ret = -1;  // as for a refused container
    if (ret == 2)
        return;
    const bool lost = task.tag == "3" || task.tag == "4";
    if (lost) {
        // Whatever the portal answered, this login is over for the machine.
        StopTask(OrvaneSvr::pluse);
        m_offline = false;
        RestoreDNS();
    }
    if (ret == 1) {
        StopTask(OrvaneSvr::pluse);
        StopTask(OrvaneSvr::checkWifi);
        StopTask(OrvaneSvr::termForWifi);
    }
    if (lost && StartRecovery(task.tag == "3" ? 150108 : 150010))
        return;
    // A logout the user asked for (2) or the shut-down (7) needs no ticket for a next login.
    if (ret == 1 && task.tag != "2" && task.tag != "7")
        QueueTask(OrvaneSvr::reqTicket, OrvaneSvr::normal, CAutoString(""));
}

void CPortalServer::pluse(Task& task) {
    Log()->WriteLog(CLog::INFO, "pulse");
    CPortalConn* conn = GetPortalConn();
    if (conn == nullptr)
        return;
    AfterResume(*conn);
    if (!IsLinkUp()) {
        // Nothing gets through; the link's return sends the next keep-alive.
        Log()->WriteLog(CLog::INFO, "no link: keep-alive waits for the network");
        return;
    }
    int ret = conn->KeepPluse();
    if (ret == 2 && !RequeueRenewed(task, *conn))
        ret = -1;  // as for a refused container
    if (ret == 2)
        return;
    if (ret == 1 && IsLinkUp() &&
        (m_offline.exchange(false) || conn->GetNetState() != INetConn::ES_CONNECTED)) {
        // The portal kept the login while the network was away: the same login goes on.
        Log()->WriteLog(CLog::INFO, "keep-alive accepted again: still logged in");
        conn->NetStateChange(INetConn::ES_CONNECTING, INetConn::ES_CONNECTED, 1, CAutoString(""));
        RecoveryDone();
    }
    if (ret == 0 || ret == 1) {
        Arm(OrvaneSvr::pluse, conn->GetPortalConf()->iInterval, false, true);
    } else if (ret == -14 || ret == -10) {
        // The portal ended the login (14) or no longer knows it (10, 13).
        StopTask(OrvaneSvr::pluse);
        m_offline = false;
        RestoreDNS();
        conn->SetConnCfg(0);
        if (!StartRecovery(ret == -14 ? 14 : conn->LastErrorCode()))
            QueueTask(OrvaneSvr::reqState, OrvaneSvr::normal, CAutoString(""));
    } else {
        StopTask(OrvaneSvr::pluse);
        QueueTask(OrvaneSvr::term, OrvaneSvr::normal, CAutoString("3"));
    }
}

int CPortalServer::CheckWiFiShare(const char* againstList) {
    return m_WiFiSharedValidate.IsValidEnvironment(againstList);
}

void CPortalServer::checkWifi(Task& task) {
    (void)task;
    CPortalConn* conn = GetPortalConn();
    CAuthConfig* cfg = conn != nullptr ? conn->GetPortalConf() : nullptr;
    // Without a list there is nothing to enforce until the next login brings one.
    if (cfg == nullptr || cfg->againstList.IsEmpty())
        return;
    cfg->checkResult = CheckWiFiShare(cfg->againstList.c_str());
    if (cfg->checkResult != 0) {
        StopTask(OrvaneSvr::checkWifi);
        // A pending forced logout keeps its time: a second finding does not postpone it.
        Arm(OrvaneSvr::termForWifi, static_cast<long>(cfg->logoutDelay), false, false);
        Log()->WriteLog(CLog::INFO, "%s", m_WiFiSharedValidate.GetDisplayName());
    } else {
        Arm(OrvaneSvr::checkWifi, static_cast<long>(cfg->checkWifiInterval), false, true);
    }
}

void CPortalServer::termForWifi(Task& task) {
    (void)task;
    DisConnect(CAutoString("6"));
}

void CPortalServer::Arm(TaskItem item, long seconds, bool atOnce, bool replace) {
    AddTask(item, 1, atOnce, seconds < 1 ? 1 : seconds, replace);
}

void CPortalServer::TerminalRequestFun(Task& task) {
    (void)task;
    CPortalConn* conn = GetPortalConn();
    if (conn == nullptr)
        return;
    CAutoString list("");
    const int ret = conn->TerminalRequestData(list);
    if (ret != 1) {
        Log()->WriteLog(CLog::INFO, "TerminalRequestData request error:ret:%d", ret);
        return;
    }
    const CAuthConfig& cfg = *conn->GetPortalConf();
    // The list is the portal's markup; the two values are text and are escaped.
    CAutoString tail;
    tail.Format("<host>%s</host><ticket>%s</ticket>", CBusiness::EscapeValue(cfg.hostName).c_str(),
                CBusiness::EscapeValue(cfg.strTicket).c_str());
    PostMsg(kName, "SetTerminalData", (list + tail).c_str());
    // The list names the other terminals by their tickets; no ticket is logged whole.
    Log()->WriteLog(CLog::INFO, "post TERMINAL_RESP param is %s",
                    AbbreviateTickets((list + tail).ToStdString()).c_str());
}

void CPortalServer::TerminalTermRequestFun(Task& task) {
    (void)task;
    CPortalConn* conn = GetPortalConn();
    if (conn == nullptr)
        return;
    const int ret = conn->TerminalTermRequest(GetOtherTicket());
    if (ret == 1) {
        // The client receives the list without the terminal it just logged out.
        QueueTask(OrvaneSvr::terminal, OrvaneSvr::high, CAutoString(""));
        return;
    }
    CAutoString code;
    code.Format("<code>%d</code>", ret);
    PostMsg(kName, "TerminalTermReturn", code.c_str());
}

void CPortalServer::trafficStatistics(Task& task) {
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
        QueueTask(OrvaneSvr::term, OrvaneSvr::high, next);
    } else {
        NextTimingReport(next);
    }
}

// ---- Staying online ----------------------------------------------------------------------------
// A login that ends without the user asking (keep-alive lost, intercepted, ended or forgotten by
// the portal, a new network) is made again by the service itself with the last log-in request,
// paced by CAutoLogin. The network watcher's events decide when the link is there to try.

bool CPortalServer::AutoLoginEnabled() {
    ISvrInfoCenter* info = GetInfoCenter();
    const CAutoString value = info != nullptr ? info->GetLocalValue("autoLogin") : CAutoString("");
    return value.IsEmpty() || std::strtol(value.c_str(), nullptr, 10) != 0;
}

void CPortalServer::ReportFinal(CPortalConn& conn, int cause) {
    Log()->WriteLog(CLog::INFO, "not logging in again (code %d)", cause);
    conn.NetStateChange(INetConn::ES_CONNECTING, INetConn::ES_CONNECTFAIL, kRecoveryStopped,
                        CAutoString(std::to_string(cause).c_str()));
}

bool CPortalServer::StartRecovery(int cause) {
    CPortalConn* conn = GetPortalConn();
    if (conn == nullptr)
        return false;
    if (!AutoLoginEnabled() || !m_autoLogin.Begin(cause)) {
        ReportFinal(*conn, cause);
        return false;
    }
    Log()->WriteLog(CLog::INFO, "login ended (code %d): logging in again by itself", cause);
    ScheduleAttempt();
    return true;
}

void CPortalServer::ScheduleAttempt() {
    CPortalConn* conn = GetPortalConn();
    if (conn == nullptr)
        return;
    StopTask(OrvaneSvr::checkNet);
    if (!IsLinkUp()) {
        conn->ReportOffline(kNetworkDown, CAutoString(""));
        return;
    }
    const long delay = m_autoLogin.NextDelay();
    Log()->WriteLog(CLog::INFO, "next log-in attempt in %ld s", delay);
    conn->ReportOffline(kLoggingInAgain, CAutoString(std::to_string(delay).c_str()));
    AddTask(OrvaneSvr::checkNet, 1, delay == 0, delay, true);
}

bool CPortalServer::AttemptFailed(int code) {
    CPortalConn* conn = GetPortalConn();
    if (conn == nullptr)
        return false;
    if (!m_autoLogin.Active()) {
        // The console keeps trying from its first attempt on; the window's user decides.
        if (!m_autoLogin.Persistent())
            return false;
        if (!AutoLoginEnabled()) {
            ReportFinal(*conn, code);
            return false;
        }
        m_autoLogin.Begin(code);
        m_autoLogin.NextDelay();  // the attempt that failed was the immediate one
    }
    if (!CAutoLogin::Retryable(code)) {
        m_autoLogin.Stop();
        ReportFinal(*conn, code);
        // Ready for a log-in by hand with other credentials.
        QueueTask(OrvaneSvr::reqTicket, OrvaneSvr::high, CAutoString(""));
        return true;
    }
    Log()->WriteLog(CLog::INFO, "log-in attempt failed (code %d)", code);
    ScheduleAttempt();
    return true;
}

void CPortalServer::RecoveryDone() {
    if (!m_autoLogin.Active())
        return;
    Log()->WriteLog(CLog::INFO, "online again after code %d", m_autoLogin.Cause());
    m_autoLogin.Stop();
}

bool CPortalServer::HoldsLogin(CPortalConn& conn) {
    return m_offline.load() || conn.GetNetState() == INetConn::ES_CONNECTED;
}

void CPortalServer::StartNetWatch() {
    if (!m_watchNetwork)
        return;
    m_netWatch = std::make_unique<CNetWatch>();
    const bool started = m_netWatch->Start(
        [this](const CNetWatch::Snapshot& before, const CNetWatch::Snapshot& now) {
            // The window hears of a lost link at once, even while the work thread still waits on
            // a request that cannot get through; the task does the rest.
            CPortalConn* conn = GetPortalConn();
            if (before.up && !now.up && conn != nullptr && HoldsLogin(*conn)) {
                m_offline = true;  // the state no longer says connected: this remembers it
                conn->ReportOffline(kNetworkDown, CAutoString(""));
            }
            QueueTask(OrvaneSvr::netChange, OrvaneSvr::mostHigh, CAutoString(""));
        });
    if (!started) {
        // Without the kernel's notices the service works as before: no link is assumed lost.
        Log()->WriteLog(CLog::WARN, "network changes not watched: %s",
                        m_netWatch->LastError().c_str());
        m_netWatch.reset();
        return;
    }
    m_lastUpNet = m_netWatch->Current();
}

void CPortalServer::netChange(Task& task) {
    (void)task;
    CPortalConn* conn = GetPortalConn();
    if (conn == nullptr || !m_netWatch)
        return;
    const CNetWatch::Snapshot now = m_netWatch->Current();
    const CNetWatch::Snapshot before = m_lastUpNet;
    if (!now.up) {
        if (before.up)
            OnLinkLost(*conn);
        m_lastUpNet.up = false;  // the card and addresses stay, to compare with on return
        return;
    }
    m_lastUpNet = now;
    const bool moved = !before.card.empty() && (now.card != before.card || now.ip4 != before.ip4 ||
                                                (now.ip4.empty() && now.ip6 != before.ip6));
    if (moved)
        OnNetworkMoved(*conn, before, now);
    else if (!before.up)
        OnLinkBack(*conn);
}

void CPortalServer::OnLinkLost(CPortalConn& conn) {
    Log()->WriteLog(CLog::INFO, "network down (no carrier or no default route)");
    if (HoldsLogin(conn)) {
        // Keep-alives wait for the link; the portal may well keep the login meanwhile.
        m_offline = true;
        StopTask(OrvaneSvr::pluse);
        conn.ResetKeepFailures();
    }
    if (m_autoLogin.Active())
        StopTask(OrvaneSvr::checkNet);
    const bool told = conn.LastErrorCode() == kNetworkDown;  // by the watcher, at once
    if (!told &&
        (m_offline.load() || m_autoLogin.Active() || conn.GetNetState() != INetConn::ES_NONE))
        conn.ReportOffline(kNetworkDown, CAutoString(""));
}

void CPortalServer::OnLinkBack(CPortalConn& conn) {
    Log()->WriteLog(CLog::INFO, "network up again");
    if (m_offline.load()) {
        // A keep-alive now tells whether the portal kept the login.
        conn.ResetKeepFailures();
        Arm(OrvaneSvr::pluse, 0, true, true);
    } else if (m_autoLogin.Active()) {
        StopTask(OrvaneSvr::checkNet);
        AddTask(OrvaneSvr::checkNet, 1, true, 0, true);
    } else if (conn.GetNetState() != INetConn::ES_NONE) {
        CheckNetStatus(0);
    }
}

void CPortalServer::OnNetworkMoved(CPortalConn& conn, const CNetWatch::Snapshot& before,
                                   const CNetWatch::Snapshot& now) {
    Log()->WriteLog(CLog::INFO, "network changed: card %s -> %s, address %s -> %s",
                    before.card.c_str(), now.card.c_str(), before.ip4.c_str(), now.ip4.c_str());
    if (HoldsLogin(conn)) {
        // A new address or card is a new network: the old ticket is not used from it.
        StopAllTask();
        m_offline = false;
        RestoreDNS();
        conn.SetConnCfg(0);
        if (!StartRecovery(150108))
            CheckNetStatus(0);
    } else if (m_autoLogin.Active()) {
        StopTask(OrvaneSvr::checkNet);
        AddTask(OrvaneSvr::checkNet, 1, true, 0, true);
    } else if (conn.GetNetState() != INetConn::ES_NONE) {
        CheckNetStatus(0);
    }
}

void CPortalServer::AfterResume(CPortalConn& conn) {
    const long asleep = SecondsAsleep();
    const long before = m_sleptSeconds;
    m_sleptSeconds = asleep;
    if (asleep < 0 || before < 0 || asleep - before < kSleepThreshold)
        return;
    Log()->WriteLog(CLog::INFO, "resumed after %ld s of sleep", asleep - before);
    conn.ResetKeepFailures();
    if (m_netWatch && !m_netWatch->WaitUntilUp(kResumeWait))
        Log()->WriteLog(CLog::INFO, "network not back %ld s after the resume",
                        static_cast<long>(kResumeWait.count()));
}
