#include "CSimContext.h"

#include "SimHttpUtil.h"

CSimContext::CSimContext(const CSimOptions& opts)
    : options(opts), state(opts.ticketExpire, opts.accounts) {
    statsStall = opts.statsStall;
}

std::string CSimContext::BaseUrl() const {
    return "http://" + options.listenAddr + ":" + std::to_string(m_port.load());
}

std::string CSimContext::StatsUrl() const {
    const int refusing = m_refusingPort.load();
    if (refusing == 0)
        return BaseUrl() + "/stats";
    return "http://" + options.listenAddr + ":" + std::to_string(refusing) + "/stats";
}

std::string CSimContext::PortalPageUrl(const std::string& clientIp) const {
    const std::string& userIp = options.wlanUserIp.empty() ? clientIp : options.wlanUserIp;
    return BaseUrl() + "/index.cgi?wlanuserip=" + userIp + "&wlanacip=" + options.wlanAcIp +
           "&wlanusermac=" + options.wlanUserMac;
}

std::string CSimContext::UserConfigXml() const {
    std::string xml = "<user-config>";
    if (options.againstInterval > 0)
        xml +=
            "<against-interval>" + std::to_string(options.againstInterval) + "</against-interval>";
    xml += "<logout-delay>" + std::to_string(options.logoutDelay) + "</logout-delay>";
    return xml + options.againstExtra + "</user-config>";
}

std::string CSimContext::NoteXml() const {
    if (options.note.empty())
        return "";
    return "<note>" + simhttp::XmlEscape(options.note) + "</note>";
}

bool CSimContext::Sleep(long ms) {
    std::unique_lock<std::mutex> lock(m_waitLock);
    return !m_wake.wait_for(lock, std::chrono::milliseconds(ms),
                            [this] { return m_stopping.load(); });
}

void CSimContext::RequestStop() {
    {
        std::lock_guard<std::mutex> guard(m_waitLock);
        m_stopping = true;
    }
    m_wake.notify_all();
}

void CSimContext::RequestRefuse(long ms) {
    m_refuseMs = ms;
    if (m_refuseHook)
        m_refuseHook();
}

long CSimContext::TakeRefuse() {
    return m_refuseMs.exchange(0);
}
