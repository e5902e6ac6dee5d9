// CPortalServer: the service's business module "Portal". It receives the client's commands as
// opcodes, turns them into tasks of its queue or entries of its table timer, runs the tasks one at
// a time on its work thread, owns the portal connection, and is the one outlet through which
// connection-state messages reach the client.
//
// This class is the facade: it keeps the life cycle, the opcode table, the queue, the timer table
// and the work loop, and every public name; the work itself lives in parts by concern, declared in
// this order, each seeing the facade only through IPortalWork (and the parts before it): the host
// services (CPortalHostServices: adapter, resolver, sharing check), the traffic schedule
// (CTrafficSchedule), the staying-online recovery and the network watch (CStayOnline), the task
// handlers (CTaskHandlers) and the opcodes with the messages to the client (CPortalOpcodes).
//
// Threads:
// - the router's message thread runs the opcode handlers (one message at a time); they only queue
//   tasks, arm timer entries, or (first "ClientStart") create the connection and start threads;
// - the timer's dispatch thread turns due entries into tasks (DoTimeTask, timer lock held);
// - the work thread runs the task handlers, so every portal request;
// - the network watcher's thread (program only) queues netChange tasks.
// Lock order: the life-cycle lock, then the traffic-report lock, then the statistics lock (both
// CTrafficSchedule's), then the timer lock, then the queue lock; never the reverse. The queue lock
// is innermost and never held while a handler runs. The resolver lock (CPortalHostServices), the
// ticket lock (CTaskHandlers) and the log-in record's lock (CAutoLogin) are leaves: nothing else
// is taken while one of them is held.
//
// Stopping the work thread waits for the handler in progress: a task is never cut off half-way.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CAdapterCard.h"
#include "CAutoString.h"
#include "CBusiness.h"
#include "CNetHelper.h"
#include "CPortalConn.h"
#include "CPortalHostServices.h"
#include "CPortalOpcodes.h"
#include "CSimpleThread.h"
#include "CStayOnline.h"
#include "CTableTimer.h"
#include "CTaskHandlers.h"
#include "CTaskMgr.h"
#include "CTrafficSchedule.h"
#include "CTrafficStatistics.h"
#include "INetConn.h"
#include "IPortalHost.h"
#include "IPortalWork.h"
#include "Task.h"

class CXMLOpt;
class ISvrInfoCenter;

class CPortalServer : public CBusiness,
                      public IPortalHost,
                      private IPortalWork,
                      private CTableTimer {
public:
    // The router name of the business and the source name of everything it sends.
    static constexpr const char* kName = "Portal";
    static constexpr const char* kSource = "NetModule";
    // Requeues in a row of a task whose request keeps being answered with a renewal.
    static constexpr int kMaxRenewalRequeues = CTaskHandlers::kMaxRenewalRequeues;
    // How long the work thread sleeps on an empty queue before it looks again.
    static constexpr std::chrono::milliseconds kIdleWait{500};

    // The process's Portal business, created on first use and never destroyed. The first call is
    // made by the start-up sequence before any thread of the business exists.
    static CPortalServer* GetInst();

    // Where the business reads and changes the machine's settings. The defaults are the system's
    // own files; tests point every one of them into a folder of their own.
    struct HostPaths {
        std::string route = "/proc/net/route";
        std::string routeIPv6 = "/proc/net/ipv6_route";
        std::string resolver = CNetHelper::kResolverPath;
        // The resolver text to put back, kept next to the store while a login has rewritten it.
        std::string resolverSaved = DefaultResolverSaved();
        // Where the resolvconf program is looked for (see CResolverOwner).
        std::vector<std::string> resolvconfFolders = DefaultResolvconfFolders();
        // A bus address in place of the system bus (where systemd-resolved is asked); empty:
        // the system bus, at DBUS_SYSTEM_BUS_ADDRESS when that is set.
        std::string systemBus;
        std::string osRelease = "/etc/os-release";
        std::string procRoot;  // prefix of the kernel's /proc files; empty: the real ones
        // Listen to the kernel's link, address and route changes. The program does; unit tests
        // that give the business route files of their own leave it off, since the real
        // network's state would then decide.
        bool watchNetwork = false;
    };

    static std::string DefaultResolverSaved();
    // The folders of CResolvconf::DefaultFolders, or those of the colon-separated list in the
    // environment variable kResolvconfPathVariable when it is set (absolute ones only).
    static std::vector<std::string> DefaultResolvconfFolders();
    static constexpr const char* kResolvconfPathVariable = "ORVANE_RESOLVCONF_PATH";

    // The program uses GetInst(); tests construct their own instances so every test starts from a
    // fresh business. No thread is started here.
    CPortalServer();
    explicit CPortalServer(const HostPaths& paths);
    // Shuts the business down as ServerStatus does (threads stopped and joined, connection torn
    // down), so no thread outlives the object.
    ~CPortalServer() override;

    // Attaches to the router, fills the opcode table and registers as "Portal".
    void InitService(IServer* server) override;
    // The router's notice that the pipe has ended: empties the timer, stops every task and the
    // work thread (waiting for a handler in progress), stops the timer thread, and tears the
    // connection down. Nothing happens before the first "ClientStart". The argument is not used.
    void ServerStatus(int status) override;
    // Opcodes outside the table end here: logged (operation and source only) and dropped.
    void DefaultDeal(CXMLOpt& message) override;

    // The information center the connection reads its settings from. Not owned; when none is set
    // the router's is used.
    void SetInfoCenter(ISvrInfoCenter* infoCenter) { m_pInfoCenter.store(infoCenter); }
    ISvrInfoCenter* GetInfoCenter() override;

    // Sends through the router with source "NetModule"; dropped without a router.
    void PostMsg(const char* target, const char* opcode, const char* parameters) override;

    // "NetStateMessageResp" to the client, plain or extended form. Any thread.
    void PostNetStateMessage(INetConn::ETYPE type, INetConn::ESTATE eStateOld,
                             INetConn::ESTATE eStateNew, int iErrorcode,
                             CAutoString subErrCode) override;
    void PostNetStateMessageEx(INetConn::ETYPE type, INetConn::ESTATE eStateOld,
                               INetConn::ESTATE eStateNew, int iErrorcode, const char* pSubType,
                               const char* pExtern) override;

    // Arms a network check delay seconds from now, replacing a pending one.
    void CheckNetStatus(int delay) override;
    // The network is usable but was not logged on by this service: stop the login machine, report
    // an open network and probe again every 5 s.
    void ChangeToUnknowEnv() override;
    // Logout with reason (a code of the logout reasons, passed on unchanged), preceded by the
    // traffic report when one is configured.
    void DisConnect(CAutoString reason) override;

    // The reason of the last logout task run (its tag); empty before the first. Any thread.
    CAutoString LastLogoutReason();
    // The console's log-in ("PortalConnect" message): from the first attempt on, every failure
    // and every end the user did not ask for is followed by a new attempt. Any thread.
    void SetAutoLogin(const CAutoString& loginMessage);
    // True while the card of the default route has carrier and there is a default route (also
    // when the network is not watched).
    bool IsLinkUp() override;

    // Cancels item both in the queue and in the timer table. Stopping trafficStatistics also ends
    // a pending logout report (the logout it carried goes with it).
    void StopTask(OrvaneSvr::TaskItem item) override;
    // Stops every item except checkUnknowNet and netChange.
    void StopAllTask() override;

    // Non-zero starts the work thread; zero stops every task but checkUnknowNet and then stops
    // the thread, waiting for the handler in progress to finish (never killing it).
    void Work(int start);

    // Timer callbacks: the entry becomes a task of the level its item has (see LevelOfTimerTask).
    void DoTimeTask(int id) override;
    void DoTimeTask(int id, CAutoString& tag) override;
    static OrvaneSvr::TaskLevel LevelOfTimerTask(int id);

    // The machine is known to stand behind the portal.
    bool IsPortalEnv() override { return m_tasks.IsPortalEnv(); }
    // Addresses of the active adapter (IPv4 and MAC, else its IPv6 address); records the address
    // family found in the configuration. 1 on success, -1 when no usable card or address.
    int GetIpAndMac(CAutoString& ip4, CAutoString& ip6, CAutoString& mac) override;
    // The portal's name servers to the resolver's owner (see CResolverOwner::SetDNSServers).
    int SetDNS(CAutoString& dns1, CAutoString& dns2) override;
    // The one way to undo the login's change of the resolver file: put back as it was before the
    // login rewrote it while it still holds the service's text, left alone when a network
    // manager rewrote it meanwhile (see CNetHelper::RestoreDNSServers). Call it whenever a login
    // ends, by whatever path; nothing happens when no rewrite is in force, so a second call is
    // harmless. Also called at start-up, for a file left rewritten by a run that was killed.
    // 0, or the system error number when the file could not be put back. Any thread.
    int RestoreDNS() override;
    // RestoreDNS for the end of the process: afterwards no rewrite is made any more, so a login
    // finishing on the work thread cannot leave the portal's servers behind. Any thread; the
    // process must end soon after.
    int RestoreDNSForExit();
    CAdapterCard* GetNetHelper() { return &m_hostServices.Adapter(); }
    // 1 when the against list finds sharing on this machine (a forbidden program, or forwarding
    // where the list forbids it), else 0. The list is read once per process. Work thread only.
    int CheckWiFiShare(const char* againstList);
    // The connection; null before the first "ClientStart" and after ServerStatus. Any thread may
    // read the pointer; the object is only used by the work thread and by this class's life-cycle
    // steps, which delete it only after the work thread has stopped.
    CPortalConn* GetPortalConn() override { return m_pPortalConn.load(); }

    // Schedules a traffic report (LOGIN and LOGOUT now, replacing a pending one; TIMING after the
    // statistics interval, keeping a pending one), carrying next to the step after it (the logout
    // reason for LOGOUT). LOGIN first reads the statistics settings afresh from the portal's
    // "StatsInfor" entry and takes the login's counter reading at once, and arms nothing while a
    // logout's report is pending. 0 when one was armed, -1 when none was: without connection,
    // configuration or statistics address (a LOGOUT then queues its logout at once), or for that
    // LOGIN. Message thread ("PortalDisConnect") and work thread.
    int NetworkTraffic(CTrafficStatistics::tag_STATISTICS_TYPE type, const CAutoString& next);
    // Sends one report of type now with the configuration's address, account, school, IPv4
    // and access-controller address; CTrafficStatistics' result, -1 without configuration. Work
    // thread only.
    int NetworkTrafficStatistics(CTrafficStatistics::tag_STATISTICS_TYPE type);

protected:
    // Runs the handler of task.curTask from the item table; keepPort, noTask and values outside
    // the table run nothing. Work thread only. Tests override it to watch or pace the work loop
    // (an override must stop the threads in its own destructor).
    virtual void RunTask(OrvaneSvr::Task& task);

private:
    friend class CPortalServerTestAccess;  // lets the unit tests look at the queue and the timer

    typedef void (CPortalServer::*TaskFun)(OrvaneSvr::Task&);

    // ---- Opcode handlers (message thread), carried out by m_opcodes ---------------------------
    void Start(const char* source, CXMLOpt& message);
    void CheckEnv(const char*, CXMLOpt&) { m_opcodes.CheckEnv(); }
    void Connect(const char*, CXMLOpt& message) { m_opcodes.Connect(message); }
    void DisConnect(const char*, CXMLOpt& message) { m_opcodes.DisConnect(message); }
    void TerminalRequest(const char*, CXMLOpt& message) { m_opcodes.TerminalRequest(message); }
    void TerminalTermRequest(const char*, CXMLOpt& message) {
        m_opcodes.TerminalTermRequest(message);
    }
    void InitOpcodeFun() override;

    // First "ClientStart": connection, timer thread, work thread, acknowledgement.
    void StartMachine();
    // The connection's teardown; expects both threads stopped.
    void DestroyConnection();
    // Stops and joins the work thread and the timer thread (entries are dropped).
    void StopThreads();
    // Clears the run flag and waits for the work thread, however long its handler takes.
    void StopWorker();

    // ---- IPortalWork: the queue and the timer table for the parts ----------------------------
    void AddToQueue(const OrvaneSvr::Task& task, size_t depth) override;
    void ArmOnce(OrvaneSvr::TaskItem item, long seconds, bool atOnce, bool replace,
                 const CAutoString& tag) override;
    void Cancel(OrvaneSvr::TaskItem item) override;

    // ---- Work loop (work thread) -------------------------------------------------------------
    static void* WorkThread(void* self);
    void Work();
    // Runs the task and then its nextTask chain on the same pass.
    void RunChain(OrvaneSvr::Task& task);
    // The handler of task.curTask, or null for keepPort, noTask and unknown items.
    static TaskFun HandlerOf(OrvaneSvr::TaskItem item);

    // ---- Task handlers (work thread), carried out by the parts --------------------------------
    void checkNet(OrvaneSvr::Task& task) { m_tasks.checkNet(task); }
    void checkUnknowNet(OrvaneSvr::Task& task) { m_tasks.checkUnknowNet(task); }
    void reqConfig(OrvaneSvr::Task& task) { m_tasks.reqConfig(task); }
    void reqTicket(OrvaneSvr::Task& task) { m_tasks.reqTicket(task); }
    void reqState(OrvaneSvr::Task& task) { m_tasks.reqState(task); }
    void auth(OrvaneSvr::Task& task) { m_tasks.auth(task); }
    void term(OrvaneSvr::Task& task) { m_tasks.term(task); }
    void pluse(OrvaneSvr::Task& task) { m_tasks.pluse(task); }
    void checkWifi(OrvaneSvr::Task& task) { m_tasks.checkWifi(task); }
    void termForWifi(OrvaneSvr::Task& task) { m_tasks.termForWifi(task); }
    void TerminalRequestFun(OrvaneSvr::Task& task) { m_tasks.TerminalRequestFun(task); }
    void TerminalTermRequestFun(OrvaneSvr::Task& task) { m_tasks.TerminalTermRequestFun(task); }
    void trafficStatistics(OrvaneSvr::Task& task) { m_traffic.trafficStatistics(task); }
    void netChange(OrvaneSvr::Task& task) { m_online.netChange(task); }

    CAutoString GetOtherTicket() { return m_tasks.GetOtherTicket(); }

    std::atomic<ISvrInfoCenter*> m_pInfoCenter{nullptr};
    std::unique_ptr<CPortalConn> m_connOwner;  // owns the connection that m_pPortalConn shows
    std::atomic<CPortalConn*> m_pPortalConn{nullptr};
    // The parts; each holds this object as its IPortalWork and the parts declared before it.
    CPortalHostServices m_hostServices;
    CTrafficSchedule m_traffic;
    CStayOnline m_online;
    CTaskHandlers m_tasks;
    CPortalOpcodes m_opcodes;
    OrvaneSvr::CTaskMgr m_taskMgr;
    std::atomic<bool> m_bWorking{true};
    // Serialises the life-cycle steps ("ClientStart", ServerStatus, destruction).
    std::mutex m_lifeLock;
    std::atomic<unsigned> m_idlePasses{0};  // passes that found the queue empty
    // Last: stopped and joined before the members it uses go.
    CSimpleThread m_threadWork{"portal-work"};
};
