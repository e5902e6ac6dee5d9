// CInstallationCheck: refuses an installation that a user other than root or the program's own
// user could change.
//
// The service runs as root and reads its container, store and pipes from the installation
// directory, so whoever can write there can command it. Before a program creates or reads anything
// it lists the paths it trusts and calls Check(): every path that exists must not be a symbolic
// link, must be owned by root or by the effective user of this process, must not be writable by
// group or others, and must be of the expected kind. Missing paths pass (the program creates them
// itself, with safe modes). Each problem comes with the path and a shell command that mends it.
//
// Used by one thread at a time; it reads the file system and changes nothing.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

class CInstallationCheck {
public:
    enum EKind { EK_FOLDER, EK_FILE, EK_FIFO };

    // The exit status of a program that refuses an unsafe installation (sysexits' EX_CONFIG), so
    // that a service manager can be told not to restart it.
    static constexpr int kExitStatus = 78;

    // root: absolute path of the installation directory; the names added later are relative to it.
    explicit CInstallationCheck(std::string root);

    // name "" stands for the installation directory itself.
    void Add(const std::string& name, EKind kind);
    // Checks every added path, in the order added, and returns true when all pass. The problems
    // found are in Problems() afterwards (cleared at each call).
    bool Check();
    // One line per problem: the path, what is wrong, and the command that mends it.
    const std::vector<std::string>& Problems() const { return m_problems; }

    // The rule for one path's lstat status: appends one line per problem found to problems
    // (nothing when it passes).
    static void Judge(const struct stat& st, EKind kind, const std::string& path,
                      std::vector<std::string>& problems);
    // The text wrapped in single quotes for a POSIX shell, so a printed command is safe to paste.
    static std::string ShellQuote(const std::string& text);

private:
    struct Entry {
        std::string name;
        EKind kind;
    };

    std::string PathOf(const std::string& name) const;
    void CheckOne(const Entry& entry);

    std::string m_root;
    std::vector<Entry> m_entries;
    std::vector<std::string> m_problems;
};
