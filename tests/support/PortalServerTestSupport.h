// Test access to the Portal business: its queue, its timer table and its work thread, and a
// business that records every task the work loop hands to a handler.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "CPortalServer.h"
#include "TestSupport.h"

namespace orvane_test {

// Host files of the test's own for a Portal business: loopback carries the default route (so the
// adapter lookups find 127.0.0.1), the resolver is a file in dir, the kernel files live under dir
// (write dir/proc/sys/net/ipv4/ip_forward to switch forwarding), and there is no os-release.
inline CPortalServer::HostPaths LoopbackHostPaths(const TempDir& dir) {
    writeFile(
        dir.file("route"),
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "lo\t00000000\t0100007F\t0003\t0\t0\t0\t00000000\t0\t0\t0\n");
    if (readFile(dir.file("resolv.conf")).empty())
        writeFile(dir.file("resolv.conf"), "nameserver 192.0.2.53\n");
    CPortalServer::HostPaths paths;
    paths.route = dir.file("route");
    paths.routeIPv6 = dir.file("ipv6_route");
    paths.resolver = dir.file("resolv.conf");
    paths.resolverSaved = dir.file("resolv.conf.saved");
    // Never the machine's own resolver services: no bus there, no resolvconf folder.
    paths.systemBus = "unix:path=" + dir.file("no-bus");
    paths.resolvconfFolders = {};
    paths.osRelease = dir.file("os-release");
    paths.procRoot = dir.path();
    return paths;
}

}  // namespace orvane_test

class CPortalServerTestAccess {
public:
    static void Queue(CPortalServer& s, const OrvaneSvr::Task& task) { s.m_taskMgr.AddTask(task); }
    static size_t QueueSize(CPortalServer& s) { return s.m_taskMgr.Size(); }
    // Takes every queued task out, in the order the work loop would run them.
    static std::vector<OrvaneSvr::Task> Drain(CPortalServer& s) {
        std::vector<OrvaneSvr::Task> tasks;
        OrvaneSvr::Task task;
        while (s.m_taskMgr.GetTask(task))
            tasks.push_back(task);
        return tasks;
    }
    // A one-shot timer entry due in seconds, replacing a pending one of that id.
    static void Arm(CPortalServer& s, int id, long seconds) {
        s.AddTask(id, 1, false, seconds, true);
    }
    static int Armed(CPortalServer& s, int id) { return s.IsExistTask(id); }
    static void StartTimer(CPortalServer& s) { s.DispatchTask(true); }
    // What the first "ClientStart" does: connection, timer thread, work thread.
    static void StartMachine(CPortalServer& s) {
        std::lock_guard<std::mutex> life(s.m_lifeLock);
        s.StartMachine();
    }
    static bool WorkerRunning(CPortalServer& s) { return s.m_threadWork.IsRunning(); }
    static unsigned IdlePasses(CPortalServer& s) { return s.m_idlePasses.load(); }
    static CAutoString OtherTicket(CPortalServer& s) { return s.GetOtherTicket(); }
    // The counters (sent, received) of the login reading that reports count from.
    static std::pair<uint64_t, uint64_t> TrafficStart(CPortalServer& s) {
        std::lock_guard<std::mutex> stats(s.m_traffic.m_statsLock);
        return {s.m_traffic.m_TrafficStatistics.TransmitBytesStart(),
                s.m_traffic.m_TrafficStatistics.ReceiveBytesStart()};
    }
    // Everything the destructor does; derived test businesses call it from their own destructor
    // so no thread calls into a half-destroyed object.
    static void Shutdown(CPortalServer& s) {
        s.ServerStatus(-1);
        s.StopThreads();
    }
};

// Records each task handed to a handler (in order), and each opcode that reached the default
// handler; an optional hook runs before the real handler.
class RecordingPortal : public CPortalServer {
public:
    RecordingPortal() = default;
    explicit RecordingPortal(const CPortalServer::HostPaths& paths) : CPortalServer(paths) {}
    ~RecordingPortal() override { CPortalServerTestAccess::Shutdown(*this); }

    // Set before the work thread starts.
    void SetHook(std::function<void(OrvaneSvr::Task&)> hook) { m_hook = std::move(hook); }

    std::vector<OrvaneSvr::TaskItem> Ran() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_ran;
    }
    int Count(OrvaneSvr::TaskItem item) {
        std::lock_guard<std::mutex> guard(m_lock);
        int n = 0;
        for (OrvaneSvr::TaskItem ran : m_ran)
            n += ran == item;
        return n;
    }
    // The tag of the last run of item.
    std::string TagOf(OrvaneSvr::TaskItem item) {
        std::lock_guard<std::mutex> guard(m_lock);
        for (size_t i = m_ran.size(); i-- > 0;) {
            if (m_ran[i] == item)
                return m_tags[i];
        }
        return std::string("<never ran>");
    }
    std::vector<std::string> Defaults() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_defaults;
    }

    void DefaultDeal(CXMLOpt& message) override {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_defaults.push_back(message.GetValue("OpC").ToStdString());
        }
        CPortalServer::DefaultDeal(message);
    }

protected:
    void RunTask(OrvaneSvr::Task& task) override {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_ran.push_back(task.curTask);
            m_tags.push_back(task.tag.ToStdString());
        }
        if (m_hook)
            m_hook(task);
        CPortalServer::RunTask(task);
    }

private:
    std::mutex m_lock;
    std::vector<OrvaneSvr::TaskItem> m_ran;
    std::vector<std::string> m_tags;
    std::vector<std::string> m_defaults;
    std::function<void(OrvaneSvr::Task&)> m_hook;
};
