// CNetHelper: puts the name servers announced by the portal into the resolver file and puts the
// file back exactly as it was when the login ends; and the address check that decides which
// announced servers are usable.
//
// The text a rewrite replaced is kept in memory and, when a saved-copy path is given, in that
// file (owner-only) from the moment the resolver file is first rewritten until it has been put
// back. A service killed while logged in therefore finds the copy at its next start and restores
// the machine's own servers. One object is used by one thread at a time.
#pragma once

#include <string>
#include <vector>

#include "CAutoString.h"

class CNetHelper {
public:
    static const char kResolverPath[];  // "/etc/resolv.conf"

    // resolverPath: the file to rewrite. savedPath: where the text to put back is kept while a
    // rewrite is in force; null or empty keeps it in memory only.
    explicit CNetHelper(const char* resolverPath = kResolverPath, const char* savedPath = nullptr);

    // Rewrites the resolver file: the first two server lines that are not a local resolver
    // (::1..., 127.0.1.1...) are replaced by the valid ones of strDNS1/strDNS2, or the servers go
    // before the first "search" line when fewer server lines exist; further non-local server
    // lines are removed. Returns 0 after the file was rewritten, with strDNS1/strDNS2 set to the
    // replaced addresses (empty when none). Otherwise the system error number (13 when access
    // is refused) and the file and both strings are unchanged.
    //
    // A rewrite that would leave no server line where the file had one (no usable announced
    // server) leaves the file alone. Before the first rewrite the old text is saved (see above);
    // when it cannot be saved the file is not touched and the error is returned. Later rewrites
    // keep the first saved text, so that the restore always brings back the machine's own file.
    //
    // The file is rewritten in place through the descriptor it was read from: the resolver file
    // is often a symbolic link (kept, its target is rewritten) or a bind mount (which a rename
    // cannot replace), and the service may write the file without being able to write its
    // folder. The new text is built whole in memory first and written with one call; when the
    // write fails the old text is put back.
    int SetDNSServers(CAutoString& strDNS1, CAutoString& strDNS2);

    // Places server lines ("nameserver %s\n") for the valid ones of pszDNS1/pszDNS2 at the end of
    // lines. unDNSIndex counts the server slots handled so far (0, 1 or 2). In replace mode
    // (bIsReplaced, a server line is being dropped) at most one server is placed per call; in
    // insert mode (before a "search" line) every remaining slot is filled at once. Returns true
    // when the slot count advanced and, in insert mode, something was placed.
    // Puts the resolver file back byte for byte as it was before the first rewrite and forgets the
    // saved text. 0 when restored or when nothing was saved; otherwise the system error number,
    // and the saved text is kept for a later try.
    int RestoreDNSServers();
    // True while a rewrite is in force (a saved text in memory or on disk).
    bool HasSavedServers() const;

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

    // Keeps old as the text to put back (memory and saved copy); 0 or the system error number.
    int SaveOriginal(const std::string& old);
    // The text to put back; false when there is none (or the saved copy is not ours).
    bool LoadOriginal(std::string& text) const;
    void ForgetOriginal();

    std::string m_strPath;
    std::string m_strSavedPath;
    bool m_bHasOriginal = false;
    std::string m_strOriginal;
};
