// CNetHelper: puts the name servers announced by the portal into the resolver file and undoes
// that change when the login ends; and the address check that decides which announced servers
// are usable.
//
// A restore undoes only the service's own change: the file is put back byte for byte while it
// still holds a text this service wrote; a file that another program (a network manager, a DHCP
// client) rewrote during the login is left alone and the saved text dropped. What a restore
// needs is kept by a CResolverBackup, on disk when a saved-copy path is given, so that a service
// killed while logged in restores the machine's own servers at its next start.
//
// Local resolvers (127.0.0.0/8 such as systemd-resolved's 127.0.0.53 or dnsmasq's 127.0.1.1,
// and ::1) forward to the network's servers themselves: they stay where they are and take no
// slot. One object is used by one thread at a time.
#pragma once

#include <string>
#include <vector>

#include "CAutoString.h"
#include "CResolverBackup.h"

class CNetHelper {
public:
    static const char kResolverPath[];  // "/etc/resolv.conf"

    // resolverPath: the file to rewrite. savedPath: where the text to put back is kept while a
    // rewrite is in force; null or empty keeps it in memory only. recordPath: where the digests
    // of the texts written are kept; null or empty: savedPath with kRecordSuffix in place of its
    // ".saved" ending ("conf/resolv.conf.saved" goes with "conf/resolv.conf.written").
    explicit CNetHelper(const char* resolverPath = kResolverPath, const char* savedPath = nullptr,
                        const char* recordPath = nullptr);
    static constexpr const char* kRecordSuffix = ".written";

    // Rewrites the resolver file: the first two server lines that are not a local resolver
    // (IsLocalResolver) are replaced by the valid ones of strDNS1/strDNS2, or the servers go
    // before the first "search" line when fewer server lines exist; further non-local server
    // lines are removed. Returns 0 after the file was rewritten, with strDNS1/strDNS2 set to the
    // replaced addresses (empty when none). Otherwise the system error number (13 when access
    // is refused) and the file and both strings are unchanged.
    //
    // A rewrite that would leave no server line where the file had one (no usable announced
    // server) leaves the file alone. Before the first rewrite the old text is saved, and before
    // every rewrite the new text's digest is recorded; when either cannot be kept the file is not
    // touched and the error is returned. A later rewrite over a text of ours keeps the first
    // saved text, so that the restore brings back the machine's own file; over a text another
    // program wrote meanwhile, that text becomes the one to put back. After RefuseRewrites the
    // file is left alone and ECANCELED returned.
    //
    // The file is rewritten in place through the descriptor it was read from: the resolver file
    // is often a symbolic link (kept, its target is rewritten) or a bind mount (which a rename
    // cannot replace), and the service may write the file without being able to write its
    // folder. The new text is built whole in memory first and written with one call; when the
    // write fails the old text is put back.
    int SetDNSServers(CAutoString& strDNS1, CAutoString& strDNS2);

    // Undoes the rewrite in force: the file is put back byte for byte as it was before the first
    // rewrite when it holds a text this service wrote, and left alone (with a log line) when
    // another program has rewritten it since; either way the saved text is forgotten. 0 then, and
    // when nothing was saved; otherwise the system error number (the file could not be read or
    // written), and the saved text is kept for a later try.
    int RestoreDNSServers();
    // True while a rewrite is in force (a saved text in memory or on disk).
    bool HasSavedServers();
    // The process is ending: no rewrite from now on (see SetDNSServers). Restores still work.
    void RefuseRewrites() { m_bRefuseRewrites = true; }

    // True for a server address on this machine: 127.0.0.0/8 and ::1 (in any spelling).
    static bool IsLocalResolver(const std::string& address);

    // Places server lines ("nameserver %s\n") for the valid ones of pszDNS1/pszDNS2 at the end of
    // lines. unDNSIndex counts the server slots handled so far (0, 1 or 2). In replace mode
    // (bIsReplaced, a server line is being dropped) at most one server is placed per call; in
    // insert mode (before a "search" line) every remaining slot is filled at once. Returns true
    // when the slot count advanced and, in insert mode, something was placed.
    bool SetDNS(const char* pszDNS1, const char* pszDNS2, std::vector<std::string>& lines,
                unsigned int& unDNSIndex, bool bIsReplaced);

    // 0 when pszAddress is empty or a usable IPv4 or IPv6 address, otherwise a reason code:
    // IPv4: 1 length not 7..15, 2 not four dotted parts, 3 a part of 4 or more characters,
    // 4 a part that is not a decimal number, 5 a first number outside 1..255 or another
    // outside 0..255 (campus servers such as 10.0.0.1 are common).
    // IPv6: 6 length not 3..39, 7 a character other than hex digits and ':', 8 colon count not
    // 2..7, a single final ':' or more than one empty group, 9 a group longer than 4.
    static int IsValidAddress(const char* pszAddress);
    // True when ipAddress holds only hexadecimal digits and ':'.
    static bool IsValidIpv6Char(const char* ipAddress);
    // True when ipAddress holds between 2 and 7 colons.
    static bool IsValidNumColon(const char* ipAddress);

private:
    // Builds the new file text from the old one; dns1/dns2 receive the replaced addresses.
    std::string Rewrite(const std::string& old, const char* pszDNS1, const char* pszDNS2,
                        std::string& dns1, std::string& dns2);

    // Makes sure the backup holds the machine's own text before text replaces old on the file,
    // and notes text; 0 or the system error number.
    int PrepareRewrite(const std::string& old, const std::string& text);

    std::string m_strPath;
    CResolverBackup m_backup;
    bool m_bRefuseRewrites = false;
};
