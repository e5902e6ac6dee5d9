#include "CNetHelper.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "CLog.h"
#include "CSimpleFile.h"
#include "CUniqueFd.h"

const char CNetHelper::kResolverPath[] = "/etc/resolv.conf";

namespace {

std::string RecordPathFor(const char* savedPath, const char* recordPath) {
    if (recordPath != nullptr && *recordPath != '\0')
        return recordPath;
    if (savedPath == nullptr || *savedPath == '\0')
        return "";
    std::string path(savedPath);
    const std::string saved = ".saved";
    if (path.size() > saved.size() &&
        path.compare(path.size() - saved.size(), saved.size(), saved) == 0)
        path.resize(path.size() - saved.size());
    return path + CNetHelper::kRecordSuffix;
}

CLog* Log() {
    return CLog::GetInst();
}

// Makes the file hold exactly text; 0 or the system error number.
int WriteWhole(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        done += static_cast<size_t>(n);
    }
    if (ftruncate(fd, static_cast<off_t>(text.size())) != 0)
        return errno;
    return 0;
}

// The whole file from its start; 0 or the system error number.
int ReadWhole(int fd, std::string& text) {
    text.clear();
    if (lseek(fd, 0, SEEK_SET) != 0 || !CSimpleFile::ReadAll(fd, text))
        return errno != 0 ? errno : EIO;
    return 0;
}

bool StartsWith(const std::string& line, const char* prefix) {
    return line.compare(0, std::strlen(prefix), prefix) == 0;
}

// The second blank-separated word of a server line, without the line end.
std::string ServerAddress(const std::string& line) {
    const char* blanks = " \t\r\n";
    size_t first = line.find_first_of(blanks);
    if (first == std::string::npos)
        return "";
    size_t start = line.find_first_not_of(blanks, first);
    if (start == std::string::npos)
        return "";
    size_t end = line.find_first_of(blanks, start);
    return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool IsUsable(const char* address) {
    return address && *address && CNetHelper::IsValidAddress(address) == 0;
}

bool HasServerLine(const std::string& text) {
    for (size_t pos = 0; pos < text.size();) {
        if (text.compare(pos, 10, "nameserver") == 0)
            return true;
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            return false;
        pos = end + 1;
    }
    return false;
}

void Place(std::vector<std::string>& lines, const char* address) {
    lines.push_back(std::string("nameserver ") + address + "\n");
}

}  // namespace

CNetHelper::CNetHelper(const char* resolverPath, const char* savedPath, const char* recordPath)
    : m_strPath(resolverPath ? resolverPath : ""),
      m_backup(savedPath ? savedPath : "", RecordPathFor(savedPath, recordPath)) {}

bool CNetHelper::IsLocalResolver(const std::string& address) {
    // A scope ("::1%lo") names the interface, not another address.
    const std::string bare = address.substr(0, address.find('%'));
    in_addr v4;
    if (inet_pton(AF_INET, bare.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6;
    return inet_pton(AF_INET6, bare.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

int CNetHelper::SetDNSServers(CAutoString& strDNS1, CAutoString& strDNS2) {
    if (m_bRefuseRewrites) {
        Log()->WriteLog(CLog::INFO,
                        "[CNetHelper::SetDNSServers] the service is ending, %s left "
                        "as it is.",
                        m_strPath.c_str());
        return ECANCELED;
    }
    CUniqueFd fd(open(m_strPath.c_str(), O_RDWR | O_CLOEXEC));
    std::string old;
    const int readError = fd.get() < 0 ? errno : ReadWhole(fd.get(), old);
    if (readError != 0) {
        Log()->WriteLog(CLog::INFO, "[CNetHelper::SetDNSServers] cannot open %s (%d).",
                        m_strPath.c_str(), readError);
        return readError;
    }
    std::string dns1;
    std::string dns2;
    const std::string text = Rewrite(old, strDNS1.c_str(), strDNS2.c_str(), dns1, dns2);
    if (text == old || (!HasServerLine(text) && HasServerLine(old))) {
        // Nothing usable was announced: the machine keeps the servers it has.
        Log()->WriteLog(CLog::INFO, "[CNetHelper::SetDNSServers] %s left as it is.",
                        m_strPath.c_str());
        strDNS1 = "";
        strDNS2 = "";
        return 0;
    }
    if (int error = PrepareRewrite(old, text))
        return error;
    if (int error = WriteWhole(fd.get(), text)) {
        // Put the old text back so the machine keeps a working resolver file.
        int restored = WriteWhole(fd.get(), old);
        Log()->WriteLog(CLog::INFO, "[CNetHelper::SetDNSServers] writing %s failed (%d), %s.",
                        m_strPath.c_str(), error,
                        restored == 0 ? "old text restored" : "restoring failed too");
        return error;
    }
    strDNS1 = dns1.c_str();
    strDNS2 = dns2.c_str();
    return 0;
}

int CNetHelper::PrepareRewrite(const std::string& old, const std::string& text) {
    // Over a text of ours (this login's, or that of a run killed while logged in) the machine's
    // own text is already kept. Any other text is the machine's own now: a network manager that
    // rewrote the file during the login decided what the machine uses.
    const bool inForce = m_backup.Load();
    const bool overOurs = inForce && m_backup.IsOurs(old);
    if (inForce && !overOurs)
        Log()->WriteLog(CLog::INFO,
                        "[CNetHelper] %s was rewritten by another program since the service's "
                        "rewrite; that text is the one to put back now.",
                        m_strPath.c_str());
    int error = overOurs ? 0 : m_backup.Begin(old);
    if (error == 0)
        error = m_backup.Note(text);
    if (error != 0)
        Log()->WriteLog(CLog::ERROR,
                        "[CNetHelper] cannot keep what %s needs to be put back (%d), "
                        "not rewritten.",
                        m_strPath.c_str(), error);
    return error;
}

bool CNetHelper::HasSavedServers() {
    return m_backup.Load();
}

int CNetHelper::RestoreDNSServers() {
    if (!m_backup.Load())
        return 0;
    CUniqueFd fd(open(m_strPath.c_str(), O_RDWR | O_CLOEXEC));
    std::string now;
    int error = fd.get() < 0 ? errno : ReadWhole(fd.get(), now);
    const char* outcome = "put back";
    if (error == 0 && now == m_backup.Original()) {
        outcome = "already holds the machine's own text";
    } else if (error == 0 && !m_backup.IsOurs(now)) {
        // Another program rewrote the file during the login: its text is what the machine uses.
        outcome = "was rewritten by another program during the login and is left alone";
    } else if (error == 0) {
        error = WriteWhole(fd.get(), m_backup.Original());
    }
    if (error != 0) {
        Log()->WriteLog(CLog::WARN, "[CNetHelper] %s not put back (%d), kept for a later try.",
                        m_strPath.c_str(), error);
        return error;
    }
    Log()->WriteLog(CLog::INFO, "[CNetHelper] %s %s; saved copy dropped.", m_strPath.c_str(),
                    outcome);
    m_backup.Forget();
    return 0;
}

std::string CNetHelper::Rewrite(const std::string& old, const char* pszDNS1, const char* pszDNS2,
                                std::string& dns1, std::string& dns2) {
    std::vector<std::string> lines;
    unsigned int placed = 0;
    dns1.clear();
    dns2.clear();
    for (size_t pos = 0; pos < old.size();) {
        size_t end = old.find('\n', pos);
        end = end == std::string::npos ? old.size() : end + 1;
        const std::string line = old.substr(pos, end - pos);
        pos = end;
        if (StartsWith(line, "nameserver")) {
            const std::string address = ServerAddress(line);
            if (IsLocalResolver(address)) {
                lines.push_back(line);
            } else if (SetDNS(pszDNS1, pszDNS2, lines, placed, true)) {
                (placed == 1 ? dns1 : dns2) = address;
            }
            continue;
        }
        if (StartsWith(line, "search") && placed < 2) {
            if (placed == 0) {
                dns1.clear();
                dns2.clear();
            }
            SetDNS(pszDNS1, pszDNS2, lines, placed, false);
        }
        lines.push_back(line);
    }
    std::string text;
    for (const std::string& line : lines)
        text += line;
    return text;
}

bool CNetHelper::SetDNS(const char* pszDNS1, const char* pszDNS2, std::vector<std::string>& lines,
                        unsigned int& unDNSIndex, bool bIsReplaced) {
    const bool valid1 = IsUsable(pszDNS1);
    const bool valid2 = IsUsable(pszDNS2);
    if (unDNSIndex >= 2)
        return false;
    if (unDNSIndex == 1) {
        unDNSIndex = 2;
        if (valid1 && valid2)
            Place(lines, pszDNS2);
        return bIsReplaced || (valid1 && valid2);
    }
    unDNSIndex = bIsReplaced ? 1 : 2;
    if (bIsReplaced) {
        if (valid1 || valid2)
            Place(lines, valid1 ? pszDNS1 : pszDNS2);
        return true;
    }
    if (valid1)
        Place(lines, pszDNS1);
    if (valid2)
        Place(lines, pszDNS2);
    return valid1 || valid2;
}

bool CNetHelper::IsValidIpv6Char(const char* ipAddress) {
    if (!ipAddress)
        return false;
    for (const char* p = ipAddress; *p; ++p) {
        if (!std::isxdigit(static_cast<unsigned char>(*p)) && *p != ':')
            return false;
    }
    return true;
}

bool CNetHelper::IsValidNumColon(const char* ipAddress) {
    if (!ipAddress)
        return false;
    int colons = 0;
    for (const char* p = ipAddress; *p; ++p)
        colons += *p == ':';
    return colons >= 2 && colons <= 7;
}

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

int CheckIpv4(const std::string& text) {
    if (text.size() < 7 || text.size() > 15)
        return 1;
    const std::vector<std::string> parts = Split(text, '.');
    if (parts.size() != 4)
        return 2;
    for (const std::string& part : parts) {
        if (part.size() >= 4)
            return 3;
    }
    for (const std::string& part : parts) {
        if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos)
            return 4;
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        const int value = std::stoi(parts[i]);
        if (value < (i == 0 ? 1 : 0) || value > 255)
            return 5;
    }
    return 0;
}

int CheckIpv6(const std::string& text) {
    if (text.size() < 3 || text.size() > 39)
        return 6;
    if (!CNetHelper::IsValidIpv6Char(text.c_str()))
        return 7;
    if (!CNetHelper::IsValidNumColon(text.c_str()))
        return 8;
    const bool endsInColon = text.back() == ':';
    if (endsInColon && text.compare(text.size() - 2, 2, "::") != 0)
        return 8;
    std::vector<std::string> groups = Split(text, ':');
    if (endsInColon)
        groups.pop_back();  // no group after the final colon
    int empty = 0;
    for (const std::string& group : groups) {
        if (group.size() > 4)
            return 9;
        empty += group.empty();
    }
    if (groups.front().empty())
        --empty;
    return empty > 1 ? 8 : 0;
}

}  // namespace

int CNetHelper::IsValidAddress(const char* pszAddress) {
    const std::string text = pszAddress ? pszAddress : "";
    if (text.find(':') == std::string::npos)
        return text.empty() ? 0 : CheckIpv4(text);
    return CheckIpv6(text);
}
