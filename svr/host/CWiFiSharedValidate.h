// CWiFiSharedValidate: decides whether this machine shares its login, by the portal's "against"
// list: programs that must not run, and whether IP forwarding counts as sharing.
//
// The list is read once per object (the first usable document wins; later ones are ignored).
// Program names come from the portal and reach a shell command, so only names that can be a
// command name are kept: 1 to 15 letters, digits, '.', '_', '+' or '-'. Any other is logged and
// never run. Used by the Portal business's work thread only.
#pragma once

#include <map>
#include <string>

#include "CSystemControlAdapter.h"

class CWiFiSharedValidate {
public:
    // What GetDisplayName reports when forwarding is the reason: "IP data forwarding" in the
    // window's GB18030 text.
    static const char kForwardingLabel[];

    CWiFiSharedValidate() = default;
    // Tests hand the system-control adapter their own os-release file and kernel file tree.
    CWiFiSharedValidate(std::string osReleasePath, std::string procRoot)
        : m_Adapter(std::move(osReleasePath), std::move(procRoot)) {}
    virtual ~CWiFiSharedValidate() = default;

    // Parses a "user-config" document (against/process@displayname, against/shared/ipforward).
    // A null, empty or unusable document leaves everything as it was. Returns whether a list has
    // been parsed.
    bool Initialization(const char* xml);
    // 1 when a listed program runs (checked in name order, the first found wins) or, failing
    // that, forwarding is forbidden and on; 0 when clean or no list could be parsed.
    int IsValidEnvironment(const char* xml);
    // What the last check that found something found; unchanged by a clean check.
    const char* GetDisplayName() const { return m_strDisplayName.c_str(); }

    // True when name may be placed into the process query.
    static bool IsAcceptableProgramName(const std::string& name);

private:
    // True when a process of that command name runs, judged by the line count of "ps -C".
    bool IsProgramRunning(const std::string& name);

    bool m_bIsInitialized = false;
    bool m_bIPForward = false;
    std::string m_strDisplayName;
    std::map<std::string, std::string> m_mProcesses;  // program name -> display name
    CSystemControlAdapter m_Adapter;
};
