// CSimContext: what every part of the simulator shares: settings, state, faults, log, coding,
// the port in use, and the stop and refuse signals of the listener.
//
// Owned by CPortalSim, which outlives every handler that holds a reference to it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "CFaultPlan.h"
#include "CRequestLog.h"
#include "CSimCodec.h"
#include "CSimOptions.h"
#include "CSimState.h"

class CSimContext {
public:
    explicit CSimContext(const CSimOptions& options);
    CSimContext(const CSimContext&) = delete;
    CSimContext& operator=(const CSimContext&) = delete;

    const CSimOptions& options;
    CFaultPlan faults;
    CSimState state;
    CRequestLog log;
    CSimCodec codec;

    // "http://ADDR:PORT", the address every URL of the configuration names.
    std::string BaseUrl() const;
    // The portal page address the gateway redirects to; clientIp fills "wlanuserip" unless the
    // options name one.
    std::string PortalPageUrl(const std::string& clientIp) const;
    // The "user-config" element sent in the configuration and in login answers.
    std::string UserConfigXml() const;
    // The statistics server's address in the configuration: this simulator's "/stats", or the
    // refusing port when one is set.
    std::string StatsUrl() const;
    void SetRefusingPort(int port) { m_refusingPort = port; }
    // "<note>" with the --note text escaped, or nothing when no note is set.
    std::string NoteXml() const;
    void SetPort(int port) { m_port = port; }
    int Port() const { return m_port; }

    // Sleeps up to ms; returns early (false) when the simulator is stopping.
    bool Sleep(long ms);
    void RequestStop();
    bool Stopping() const { return m_stopping; }

    // Asks the listener to close for ms milliseconds (the hook stops it); TakeRefuse hands the
    // pause to the listener loop once. The hook is set before the listener starts.
    void SetRefuseHook(std::function<void()> hook) { m_refuseHook = std::move(hook); }
    void RequestRefuse(long ms);
    long TakeRefuse();

    // The statistics server holds its answers back (--stats-stall, control "stats-stall").
    std::atomic<bool> statsStall{false};

private:
    std::atomic<int> m_port{0};
    std::atomic<int> m_refusingPort{0};
    std::atomic<bool> m_stopping{false};
    std::atomic<long> m_refuseMs{0};
    std::function<void()> m_refuseHook;
    std::mutex m_waitLock;
    std::condition_variable m_wake;
};
