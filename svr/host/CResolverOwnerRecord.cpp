#include "CResolverOwnerRecord.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "CLog.h"
#include "CResolvconf.h"
#include "CSimpleFile.h"
#include "CUniqueFd.h"

namespace {

const char kResolved[] = "systemd-resolved";
const char kResolvconf[] = "resolvconf";

std::string AddressText(const CResolvedLink::Server& server) {
    char text[INET6_ADDRSTRLEN] = "";
    if (!CResolvedLink::Valid(server) ||
        inet_ntop(server.family, server.address.data(), text, sizeof text) == nullptr)
        return "";
    return text;
}

bool ParseServer(const std::string& text, CResolvedLink::Server& server) {
    unsigned char bytes[16];
    if (inet_pton(AF_INET, text.c_str(), bytes) == 1) {
        server = {AF_INET, std::vector<uint8_t>(bytes, bytes + 4)};
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), bytes) == 1) {
        server = {AF_INET6, std::vector<uint8_t>(bytes, bytes + 16)};
        return true;
    }
    return false;
}

// "IFACE IFINDEX" with a plain name and a positive index.
bool ParseLink(const std::string& value, std::string& iface, int& ifindex) {
    const size_t blank = value.find(' ');
    if (blank == std::string::npos)
        return false;
    iface = value.substr(0, blank);
    const std::string number = value.substr(blank + 1);
    char* end = nullptr;
    const long index = std::strtol(number.c_str(), &end, 10);
    if (number.empty() || *end != '\0' || index <= 0 || index > 0x7fffffff ||
        number.find_first_not_of("0123456789") != std::string::npos)
        return false;
    ifindex = static_cast<int>(index);
    return CResolvconf::IsPlainInterfaceName(iface);
}

}  // namespace

std::string CResolverOwnerRecord::Text() const {
    std::string text;
    if (owner == Owner::kResolvconf)
        return std::string("owner ") + kResolvconf + "\nrecord " + record + "\n";
    if (owner != Owner::kResolved)
        return text;
    text = std::string("owner ") + kResolved + "\nlink " + iface + " " + std::to_string(ifindex) +
           "\n";
    for (const CResolvedLink::Server& server : before.dns)
        text += "dns " + AddressText(server) + "\n";
    for (const CResolvedLink::Domain& domain : before.domains)
        text += std::string("domain ") + (domain.routeOnly ? "~" : "") + domain.name + "\n";
    return text;
}

bool CResolverOwnerRecord::ParseLine(const std::string& key, const std::string& value) {
    if (key == "owner" && owner == Owner::kNone) {
        owner = value == kResolved     ? Owner::kResolved
                : value == kResolvconf ? Owner::kResolvconf
                                       : Owner::kNone;
        return owner != Owner::kNone;
    }
    if (key == "record" && owner == Owner::kResolvconf && record.empty()) {
        record = value;
        return CResolvconf::IsRecordName(record);
    }
    if (owner != Owner::kResolved)
        return false;
    if (key == "link" && ifindex == 0)
        return ParseLink(value, iface, ifindex);
    CResolvedLink::Server server;
    if (key == "dns" && before.dns.size() < CResolvedLink::kMaxEntries &&
        ParseServer(value, server)) {
        before.dns.push_back(server);
        return true;
    }
    const bool routeOnly = !value.empty() && value[0] == '~';
    CResolvedLink::Domain domain{value.substr(routeOnly ? 1 : 0), routeOnly};
    if (key != "domain" || before.domains.size() >= CResolvedLink::kMaxEntries ||
        !CResolvedLink::Valid(domain))
        return false;
    before.domains.push_back(domain);
    return true;
}

bool CResolverOwnerRecord::Parse(const std::string& text) {
    CResolverOwnerRecord parsed;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t blank = line.find(' ');
        if (blank == std::string::npos ||
            !parsed.ParseLine(line.substr(0, blank), line.substr(blank + 1)))
            return false;
    }
    const bool whole = (parsed.owner == Owner::kResolved && parsed.ifindex > 0) ||
                       (parsed.owner == Owner::kResolvconf && !parsed.record.empty());
    if (whole && !text.empty() && text.back() == '\n')
        *this = parsed;
    return whole && !text.empty() && text.back() == '\n';
}

bool CResolverOwnerRecord::Load(const std::string& path) {
    CUniqueFd fd(CSimpleFile::OpenSingleLink(AT_FDCWD, path.c_str(), O_RDONLY));
    struct stat st;
    if (fd.get() < 0) {
        if (errno != ENOENT)
            CLog::GetInst()->WriteLog(CLog::ERROR, "[CResolverOwnerRecord] %s ignored (%d)",
                                      path.c_str(), errno);
        return false;
    }
    std::string text;
    const bool ours = fstat(fd.get(), &st) == 0 && st.st_uid == geteuid() &&
                      (st.st_mode & 077) == 0 && st.st_size <= static_cast<off_t>(kMaxSize) &&
                      CSimpleFile::ReadAll(fd.get(), text) && text.size() <= kMaxSize;
    if (!ours || !Parse(text)) {
        CLog::GetInst()->WriteLog(CLog::ERROR,
                                  "[CResolverOwnerRecord] %s is not a record of ours, ignored",
                                  path.c_str());
        return false;
    }
    return true;
}

int CResolverOwnerRecord::Save(const std::string& path) const {
    const std::string text = Text();
    if (CSimpleFile::WriteFileAtomic(path.c_str(), text.data(), text.size(), false))
        return 0;
    return errno != 0 ? errno : EIO;
}

void CResolverOwnerRecord::Forget(const std::string& path) {
    unlink(path.c_str());
}
