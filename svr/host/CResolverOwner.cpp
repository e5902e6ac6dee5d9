#include "CResolverOwner.h"

#include <arpa/inet.h>
#include <net/if.h>

#include <cerrno>
#include <cstring>

#include "CLog.h"

namespace {

CLog* Log() {
    return CLog::GetInst();
}

std::string OwnerRecordFor(const CResolverOwner::Paths& paths) {
    if (!paths.ownerRecord.empty() || paths.resolverSaved.empty())
        return paths.ownerRecord;
    std::string path = paths.resolverSaved;
    const std::string saved = ".saved";
    if (path.size() > saved.size() &&
        path.compare(path.size() - saved.size(), saved.size(), saved) == 0)
        path.resize(path.size() - saved.size());
    return path + CResolverOwner::kOwnerSuffix;
}

std::vector<CResolvedLink::Server> BusServers(const std::vector<std::string>& servers) {
    std::vector<CResolvedLink::Server> out;
    for (const std::string& text : servers) {
        unsigned char bytes[16];
        if (inet_pton(AF_INET, text.c_str(), bytes) == 1)
            out.push_back({AF_INET, std::vector<uint8_t>(bytes, bytes + 4)});
        else if (inet_pton(AF_INET6, text.c_str(), bytes) == 1)
            out.push_back({AF_INET6, std::vector<uint8_t>(bytes, bytes + 16)});
    }
    return out;
}

std::string LinkText(const std::string& iface, int ifindex) {
    return iface + " (" + std::to_string(ifindex) + ")";
}

}  // namespace

CResolverOwner::CResolverOwner(const Paths& paths, CAdapterCard& adapter)
    : m_adapter(adapter),
      m_file(paths.resolver.c_str(), paths.resolverSaved.c_str()),
      m_resolvconf(paths.resolvconfFolders),
      m_resolverPath(paths.resolver),
      m_recordPath(OwnerRecordFor(paths)),
      m_systemBus(paths.systemBus) {}

void CResolverOwner::RefuseRewrites() {
    m_refuse = true;
    m_file.RefuseRewrites();
}

std::vector<std::string> CResolverOwner::Usable(const CAutoString& dns1, const CAutoString& dns2) {
    std::vector<std::string> servers;
    for (const CAutoString* dns : {&dns1, &dns2}) {
        const std::string text = dns->IsNull() ? "" : dns->c_str();
        unsigned char bytes[16];
        const bool parses = inet_pton(AF_INET, text.c_str(), bytes) == 1 ||
                            inet_pton(AF_INET6, text.c_str(), bytes) == 1;
        if (!text.empty() && parses && CNetHelper::IsValidAddress(text.c_str()) == 0 &&
            !CNetHelper::IsLocalResolver(text) && (servers.empty() || servers[0] != text))
            servers.push_back(text);
    }
    return servers;
}

int CResolverOwner::Detect(CResolvedLink& bus, Owner& owner) {
    const int running = bus.IsRunning();
    if (running < 0) {
        Log()->WriteLog(CLog::ERROR, "name servers: the system bus did not answer (%s)",
                        bus.LastError().c_str());
        return EACCES;
    }
    owner = running > 0                       ? Owner::kResolved
            : !m_resolvconf.Program().empty() ? Owner::kResolvconf
                                              : Owner::kFile;
    return 0;
}

bool CResolverOwner::ActiveLink(std::string& iface, int& ifindex) {
    CAutoString name("");
    if (m_adapter.GetActiveCardName(name) != 0 || name.IsEmpty())
        m_adapter.GetActiveInterfaceNameIPv6(name);
    iface = name.IsNull() ? "" : name.c_str();
    ifindex = CResolvconf::IsPlainInterfaceName(iface)
                  ? static_cast<int>(if_nametoindex(iface.c_str()))
                  : 0;
    if (ifindex <= 0)
        Log()->WriteLog(CLog::ERROR, "name servers: no usable link for them (\"%.32s\")",
                        iface.c_str());
    return ifindex > 0;
}

int CResolverOwner::SetDNSServers(CAutoString& dns1, CAutoString& dns2) {
    if (m_refuse)
        return ECANCELED;
    CResolvedLink bus(m_systemBus);
    Owner owner = Owner::kFile;
    if (int error = Detect(bus, owner))
        return error;
    if (owner == Owner::kFile)
        return ApplyFile(dns1, dns2);
    const std::vector<std::string> servers = Usable(dns1, dns2);
    dns1 = "";
    dns2 = "";
    if (servers.empty()) {
        Log()->WriteLog(CLog::INFO, "name servers: none usable announced, left as they are");
        return 0;
    }
    return owner == Owner::kResolved ? ApplyResolved(bus, servers) : ApplyResolvconf(servers);
}

int CResolverOwner::ApplyFile(CAutoString& dns1, CAutoString& dns2) {
    if (int error = UndoRecorded())
        return error;
    Log()->WriteLog(CLog::INFO, "name servers: the resolver file owns the resolver, %s",
                    m_resolverPath.c_str());
    return m_file.SetDNSServers(dns1, dns2);
}

int CResolverOwner::ApplyResolved(CResolvedLink& bus, const std::vector<std::string>& servers) {
    CResolverOwnerRecord record;
    if (!ActiveLink(record.iface, record.ifindex))
        return EACCES;
    CResolverOwnerRecord held;
    // A second application on the same link (a state query adopting the login) keeps what the
    // link held before the first; anything else in force is undone before the link is read.
    const bool sameLink = held.Load(m_recordPath) &&
                          held.owner == CResolverOwnerRecord::Owner::kResolved &&
                          held.ifindex == record.ifindex && held.iface == record.iface;
    if (sameLink) {
        record = held;
    } else {
        if (int error = UndoRecorded())
            return error;
        if (m_file.HasSavedServers() && m_file.RestoreDNSServers() != 0)
            return EACCES;
        record.owner = CResolverOwnerRecord::Owner::kResolved;
        if (bus.ReadLink(record.ifindex, record.before) < 0) {
            Log()->WriteLog(
                CLog::ERROR, "name servers: link %s not read from systemd-resolved (%s)",
                LinkText(record.iface, record.ifindex).c_str(), bus.LastError().c_str());
            return EACCES;
        }
        if (int error = record.Save(m_recordPath)) {
            Log()->WriteLog(CLog::ERROR, "name servers: %s not written (%d), nothing set",
                            m_recordPath.c_str(), error);
            return error;
        }
    }
    return SetLink(bus, record, servers);
}

int CResolverOwner::SetLink(CResolvedLink& bus, const CResolverOwnerRecord& record,
                            const std::vector<std::string>& servers) {
    const std::string link = LinkText(record.iface, record.ifindex);
    if (bus.SetLink(record.ifindex, BusServers(servers)) < 0) {
        Log()->WriteLog(CLog::ERROR,
                        "name servers: systemd-resolved owns the resolver, link %s not set (%s)",
                        link.c_str(), bus.LastError().c_str());
        // Whatever part was set goes again; when that fails too the record stays for later.
        if (UndoRecorded() != 0)
            Log()->WriteLog(CLog::WARN, "name servers: link %s kept for a later undoing",
                            link.c_str());
        return EACCES;
    }
    Log()->WriteLog(CLog::INFO, "name servers: systemd-resolved owns the resolver, set on link %s",
                    link.c_str());
    return 0;
}

int CResolverOwner::ApplyResolvconf(const std::vector<std::string>& servers) {
    CResolverOwnerRecord record;
    int ifindex = 0;
    if (!ActiveLink(record.iface, ifindex))
        return EACCES;
    record.owner = CResolverOwnerRecord::Owner::kResolvconf;
    record.record = record.iface + CResolvconf::kRecordSuffix;
    CResolverOwnerRecord held;
    const bool same = held.Load(m_recordPath) && held.Text() == record.Text();
    if (!same) {
        if (int error = UndoRecorded())
            return error;
        if (m_file.HasSavedServers() && m_file.RestoreDNSServers() != 0)
            return EACCES;
        if (int error = record.Save(m_recordPath)) {
            Log()->WriteLog(CLog::ERROR, "name servers: %s not written (%d), nothing set",
                            m_recordPath.c_str(), error);
            return error;
        }
    }
    if (int error = m_resolvconf.Add(record.record, servers)) {
        Log()->WriteLog(CLog::ERROR,
                        "name servers: resolvconf owns the resolver, record %s not added (%s)",
                        record.record.c_str(), std::strerror(error));
        UndoRecorded();
        return EACCES;
    }
    Log()->WriteLog(CLog::INFO, "name servers: resolvconf owns the resolver, record %s",
                    record.record.c_str());
    return 0;
}

int CResolverOwner::RestoreDNSServers() {
    if (int error = UndoRecorded())
        return error;
    return m_file.RestoreDNSServers();
}

int CResolverOwner::UndoRecorded() {
    CResolverOwnerRecord record;
    if (m_recordPath.empty() || !record.Load(m_recordPath))
        return 0;
    const int error = record.owner == CResolverOwnerRecord::Owner::kResolved
                          ? UndoResolved(record)
                          : UndoResolvconf(record);
    if (error == 0)
        CResolverOwnerRecord::Forget(m_recordPath);
    return error;
}

int CResolverOwner::UndoResolved(const CResolverOwnerRecord& record) {
    const std::string link = LinkText(record.iface, record.ifindex);
    char name[IF_NAMESIZE] = "";
    CResolvedLink bus(m_systemBus);
    const int running = bus.IsRunning();
    // A link that is gone, or a resolver service that stopped, took the settings with it.
    const bool gone = if_indextoname(static_cast<unsigned>(record.ifindex), name) == nullptr ||
                      record.iface != name || running == 0;
    if (!gone && (running < 0 || bus.PutBack(record.ifindex, record.before) < 0)) {
        Log()->WriteLog(CLog::WARN, "name servers: link %s not put back on systemd-resolved (%s)",
                        link.c_str(), bus.LastError().c_str());
        return EAGAIN;
    }
    Log()->WriteLog(CLog::INFO, "name servers: link %s %s", link.c_str(),
                    gone                    ? "gone, nothing to put back"
                    : record.before.Empty() ? "reverted on systemd-resolved"
                                            : "put back on systemd-resolved");
    return 0;
}

int CResolverOwner::UndoResolvconf(const CResolverOwnerRecord& record) {
    const int error = m_resolvconf.Delete(record.record);
    if (error != 0 && error != ENOENT) {
        Log()->WriteLog(CLog::WARN, "name servers: resolvconf record %s not deleted (%s)",
                        record.record.c_str(), std::strerror(error));
        return error;
    }
    Log()->WriteLog(CLog::INFO, "name servers: resolvconf record %s deleted",
                    record.record.c_str());
    return 0;
}
