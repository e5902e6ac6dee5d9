// CWiFiSharedValidate: decides whether this machine shares its login, by the portal's "against"
// list: programs that must not run, and whether IP forwarding counts as sharing.
//
// The list is read once per object (the first usable document wins; later ones are ignored).
// Running programs are counted from the kernel's process table (see CProcessTable); nothing is
// started. The list comes from the portal, so it is bounded: at most kMaxPrograms names are kept,
// and a name that ps would read as several (blanks, commas) or that holds control characters is
// logged and left out. Used by the Portal business's work thread only.
#pragma once

#include <map>
#include <string>

#include "CProcessTable.h"
#include "CSystemControlAdapter.h"

class CWiFiSharedValidate {
public:
    // What GetDisplayName reports when forwarding is the reason: "IP data forwarding" in the
    // window's GB18030 text.
    static const char kForwardingLabel[];
    // Names of one list beyond this many are left out (with one log line).
    static constexpr size_t kMaxPrograms = 64;
    // Longest program name kept; only the first 15 bytes are ever compared.
    static constexpr size_t kMaxNameLength = 255;

    CWiFiSharedValidate() = default;
    // Tests hand the system-control adapter their own os-release file and kernel file tree.
    CWiFiSharedValidate(std::string osReleasePath, const std::string& procRoot)
        : m_Processes(procRoot), m_Adapter(std::move(osReleasePath), procRoot) {}
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

    // True when name is one program name as "ps -C" takes it.
    static bool IsAcceptableProgramName(const std::string& name);

private:
    // True when a process of that command name runs. A process table that cannot be read counts
    // as found: the check fails closed.
    bool IsProgramRunning(const std::string& name);
    // Adds one list entry unless the name is refused or the list is full; false once full.
    bool AddProgram(const std::string& name, const std::string& displayName);

    bool m_bIsInitialized = false;
    bool m_bIPForward = false;
    std::string m_strDisplayName;
    std::map<std::string, std::string> m_mProcesses;  // program name -> display name
    CProcessTable m_Processes;
    CSystemControlAdapter m_Adapter;
};
