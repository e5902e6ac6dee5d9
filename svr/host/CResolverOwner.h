// CResolverOwner: hands the portal's name servers to whoever owns the machine's resolver, found
// anew at each application (the owner can change between logins), and undoes exactly that:
//   1. systemd-resolved, when its name has an owner on the system bus: the servers become the
//      DNS of the link of the default route, with "~." as its domain, over the bus
//      (CResolvedLink); the undoing puts back what the link held, or reverts it when it held
//      nothing of its own. The resolver file is not touched.
//   2. else resolvconf, when the machine has the program (CResolvconf): an interface record
//      IFACE.orvane, deleted by the undoing.
//   3. else the resolver file itself (CNetHelper, which restores only its own rewrite).
// What 1 and 2 applied is recorded on disk before it is applied (CResolverOwnerRecord), so the
// undoing also works at the next start after a crash, with the owner recorded then.
//
// A failure to hand the servers to a resolver service is logged and reported as EACCES, as a
// resolver file that refuses the rewrite is. Bus calls have time limits (CResolvedLink), the
// resolvconf program a bounded wait, so a hung owner holds the caller for seconds at most.
//
// One object is used by one thread at a time (its owner serialises the calls); the adapter must
// outlive it.
#pragma once

#include <string>
#include <vector>

#include "CAdapterCard.h"
#include "CAutoString.h"
#include "CNetHelper.h"
#include "CResolvconf.h"
#include "CResolvedLink.h"
#include "CResolverOwnerRecord.h"

class CResolverOwner {
public:
    struct Paths {
        std::string resolver = CNetHelper::kResolverPath;
        std::string resolverSaved;  // see CNetHelper; empty keeps the file's backup in memory
        std::string ownerRecord;    // empty: resolverSaved with ".owner" for ".saved"
        std::vector<std::string> resolvconfFolders = CResolvconf::DefaultFolders();
        std::string systemBus;  // a bus address in place of the system bus; empty: the system bus
    };

    CResolverOwner(const Paths& paths, CAdapterCard& adapter);

    // Applies the valid, non-local ones of dns1/dns2 through the owner found now; a change of an
    // earlier application in force elsewhere is undone first. 0 on success, with dns1/dns2 the
    // servers the file rewrite replaced (empty for the resolver services, which replace none);
    // ECANCELED after RefuseRewrites; EACCES when a resolver service refused or did not answer;
    // else CNetHelper::SetDNSServers' result.
    int SetDNSServers(CAutoString& dns1, CAutoString& dns2);
    // Undoes whatever is in force (recorded, or from an earlier run): 0, or an error number
    // with the record kept for a later try.
    int RestoreDNSServers();
    // The process is ending: nothing is applied from now on; the undoing still works.
    void RefuseRewrites();

    const std::string& OwnerRecordPath() const { return m_recordPath; }
    static constexpr const char* kOwnerSuffix = ".owner";

private:
    enum class Owner { kFile, kResolved, kResolvconf };

    int Detect(CResolvedLink& bus, Owner& owner);
    bool ActiveLink(std::string& iface, int& ifindex);
    int ApplyResolved(CResolvedLink& bus, const std::vector<std::string>& servers);
    int ApplyResolvconf(const std::vector<std::string>& servers);
    int ApplyFile(CAutoString& dns1, CAutoString& dns2);
    int SetLink(CResolvedLink& bus, const CResolverOwnerRecord& record,
                const std::vector<std::string>& servers);
    // Undoes what the record on disk describes and forgets it; 0 or an error number.
    int UndoRecorded();
    int UndoResolved(const CResolverOwnerRecord& record);
    int UndoResolvconf(const CResolverOwnerRecord& record);
    // The usable announced servers: valid, not a local resolver, each once.
    static std::vector<std::string> Usable(const CAutoString& dns1, const CAutoString& dns2);

    CAdapterCard& m_adapter;
    CNetHelper m_file;
    CResolvconf m_resolvconf;
    std::string m_resolverPath;
    std::string m_recordPath;
    std::string m_systemBus;
    bool m_refuse = false;
};
