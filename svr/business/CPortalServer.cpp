#include "CPortalServer.h"

#include <cstdlib>

#include <cstdio>
#include <string>

#include "CLog.h"
#include "CSimpleFile.h"
#include "CXMLOpt.h"
#include "ISvrInfoCenter.h"

using OrvaneSvr::Task;
using OrvaneSvr::TaskItem;
using OrvaneSvr::TaskLevel;

namespace {

CLog* Log() {
    return CLog::GetInst();
}

CPortalHostServices::Paths HostServicePaths(const CPortalServer::HostPaths& paths) {
    CPortalHostServices::Paths out;
    out.route = paths.route;
    out.routeIPv6 = paths.routeIPv6;
    out.resolver = paths.resolver;
    out.resolverSaved = paths.resolverSaved;
    out.resolvconfFolders = paths.resolvconfFolders;
    out.systemBus = paths.systemBus;
    out.osRelease = paths.osRelease;
    out.procRoot = paths.procRoot;
    return out;
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
    : m_hostServices(HostServicePaths(paths)),
      m_traffic(*this, paths.osRelease, paths.procRoot),
      m_online(*this, m_hostServices, paths.watchNetwork),
      m_tasks(*this, m_hostServices, m_traffic, m_online),
      m_opcodes(*this, m_online, m_tasks) {}

CPortalServer::~CPortalServer() {
    ServerStatus(-1);
    StopThreads();
}

void CPortalServer::StopThreads() {
    m_online.StopNetWatch();
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
    m_online.StopNetWatch();
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
    m_tasks.SetLastLogoutReason(CAutoString("7"));  // the logout of a login still held, if any
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
        m_opcodes.ResyncClient(*m_connOwner);
}

void CPortalServer::StartMachine() {
    m_connOwner = std::make_unique<CPortalConn>(this, GetInfoCenter());
    // A missing algorithm module is reported by the requests that need it, not here.
    m_connOwner->Init();
    m_pPortalConn = m_connOwner.get();
    // Before the work thread, which reads the watcher from its first task on.
    m_online.StartNetWatch();
    DispatchTask(true);
    Work(1);
    // No network check here: the client asks for one with "CheckEnv".
    PostMsg(kName, "ClientStartComplete", "");
}

void CPortalServer::SetAutoLogin(const CAutoString& loginMessage) {
    m_online.AutoLogin().Remember(loginMessage, true);
}

bool CPortalServer::IsLinkUp() {
    return m_online.IsLinkUp();
}

CAutoString CPortalServer::LastLogoutReason() {
    return m_tasks.LastLogoutReason();
}

// ---- Messages ----------------------------------------------------------------------------------

void CPortalServer::PostMsg(const char* target, const char* opcode, const char* parameters) {
    CBusiness::PostMsg(kSource, target, opcode, parameters);
}

void CPortalServer::PostNetStateMessage(INetConn::ETYPE type, INetConn::ESTATE eStateOld,
                                        INetConn::ESTATE eStateNew, int iErrorcode,
                                        CAutoString subErrCode) {
    m_opcodes.PostNetStateMessage(type, eStateOld, eStateNew, iErrorcode, subErrCode);
}

void CPortalServer::PostNetStateMessageEx(INetConn::ETYPE type, INetConn::ESTATE eStateOld,
                                          INetConn::ESTATE eStateNew, int iErrorcode,
                                          const char* pSubType, const char* pExtern) {
    m_opcodes.PostNetStateMessageEx(type, eStateOld, eStateNew, iErrorcode, pSubType, pExtern);
}

// ---- Services for the connection (work thread), carried out by the parts ----------------------

int CPortalServer::GetIpAndMac(CAutoString& ip4, CAutoString& ip6, CAutoString& mac) {
    CPortalConn* conn = GetPortalConn();
    return m_hostServices.GetIpAndMac(conn != nullptr ? conn->GetPortalConf() : nullptr, ip4, ip6,
                                      mac);
}

int CPortalServer::SetDNS(CAutoString& dns1, CAutoString& dns2) {
    return m_hostServices.SetDNS(dns1, dns2);
}

int CPortalServer::RestoreDNS() {
    return m_hostServices.RestoreDNS();
}

int CPortalServer::RestoreDNSForExit() {
    return m_hostServices.RestoreDNSForExit();
}

std::string CPortalServer::DefaultResolverSaved() {
    // Relative to the installation folder the service entered after checking it.
    return "./conf/resolv.conf.saved";
}

std::vector<std::string> CPortalServer::DefaultResolvconfFolders() {
    // Set only by whoever starts the service as root, who could run anything as root anyway; the
    // program found there must still be root's and writable by nobody else.
    const char* folders = std::getenv(kResolvconfPathVariable);
    if (folders == nullptr)
        return CResolvconf::DefaultFolders();
    std::vector<std::string> out;
    std::string list = folders;
    for (size_t start = 0; start <= list.size();) {
        size_t end = list.find(':', start);
        end = end == std::string::npos ? list.size() : end;
        if (end > start && list[start] == '/')
            out.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

int CPortalServer::CheckWiFiShare(const char* againstList) {
    return m_hostServices.CheckWiFiShare(againstList);
}

void CPortalServer::DisConnect(CAutoString reason) {
    m_tasks.DisConnect(reason);
}

int CPortalServer::NetworkTraffic(CTrafficStatistics::tag_STATISTICS_TYPE type,
                                  const CAutoString& next) {
    return m_traffic.NetworkTraffic(type, next);
}

int CPortalServer::NetworkTrafficStatistics(CTrafficStatistics::tag_STATISTICS_TYPE type) {
    return m_traffic.NetworkTrafficStatistics(type);
}

// ---- Timer and task control --------------------------------------------------------------------

void CPortalServer::CheckNetStatus(int delay) {
    ArmOnce(OrvaneSvr::checkNet, delay, false, true, CAutoString());
}

void CPortalServer::ChangeToUnknowEnv() {
    Log()->WriteLog(CLog::INFO, "net is connected and not connected by myself, is unknow type");
    StopAllTask();
    m_tasks.SetPortalEnv(false);
    PostNetStateMessage(INetConn::ET_UNKNOWN, INetConn::ES_CONNECTING, INetConn::ES_CONNECTED, 0,
                        CAutoString(""));
    ArmOnce(OrvaneSvr::checkUnknowNet, CTaskHandlers::kUnknownNetProbe, false, true, CAutoString());
}

void CPortalServer::AddToQueue(const Task& task, size_t depth) {
    m_taskMgr.AddTask(task, depth);
}

void CPortalServer::ArmOnce(TaskItem item, long seconds, bool atOnce, bool replace,
                            const CAutoString& tag) {
    AddTask(item, 1, atOnce, seconds, replace, tag);
}

void CPortalServer::Cancel(TaskItem item) {
    // Two separate steps: the queue lock is released before the timer lock is taken.
    m_taskMgr.RemoveTask(item);
    RemoveTask(item);
}

void CPortalServer::StopTask(TaskItem item) {
    if (item == OrvaneSvr::trafficStatistics)
        m_traffic.StopReports();
    else
        Cancel(item);
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
