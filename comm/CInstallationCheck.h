// CInstallationCheck: refuses an installation that a user other than root or the program's own
// user could change, and holds on to the folder it checked.
//
// The service runs as root and reads its container, store and pipes from the installation
// directory, so whoever can write there, or in any folder above it, can command it. Check() walks
// the installation's path from "/" one component at a time through O_PATH descriptors, never
// following a link: every folder on the way must be owned by root or by the effective user of this
// process and not be writable by group or others unless its sticky bit is set (as /tmp). It then
// holds the installation folder's descriptor and judges every listed path relative to it: each
// one that exists must not be a symbolic link, must be owned by root or that user, must not be
// writable by group or others, must be of the expected kind, and a regular file must have one link
// only (a hard link made elsewhere would be written through). Missing paths pass (the program
// creates them itself, with safe modes). Each problem comes with the path and a shell command
// that mends it.
//
// What passed is used through the held descriptor (Enter, openat): a rename of the installation or
// of a folder above it after the check changes nothing the program opens.
//
// Used by one thread at a time; it reads the file system and changes nothing.
#pragma once

#include "CUniqueFd.h"

#include <sys/stat.h>
#include <sys/types.h>

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
    // Walks to the installation, then checks every added path, in the order added; true when all
    // pass. The problems found are in Problems() afterwards (cleared at each call).
    bool Check();
    // One line per problem: the path, what is wrong, and the command that mends it.
    const std::vector<std::string>& Problems() const { return m_problems; }
    // The installation folder the last Check reached (an O_PATH descriptor, owned by this object),
    // -1 when it did not get there. Valid as long as this object, unless taken.
    int Folder() const { return m_folder.get(); }
    // Hands the descriptor over; the caller closes it.
    int TakeFolder() { return m_folder.Release(); }

    // Makes folder the working directory and confirms that "." is now that very folder, so every
    // relative name from here on is resolved from it. False with why otherwise.
    static bool Enter(int folder, std::string& why);
    // Walks the absolute path from "/" without following links; every folder above its last
    // component must be owned by root, by this process's effective user or by alsoTrusted (pass
    // 0 for none) and not be writable by group or others unless sticky. Returns an O_PATH
    // descriptor of the folder reached, or -1 with one line per problem appended; last gets the
    // status of the folder reached.
    static int OpenFolder(const std::string& path, uid_t alsoTrusted,
                          std::vector<std::string>& problems, struct stat& last);
    // True when path, walked again from "/", leads to the same folder as held (device and inode).
    static bool StillAt(const std::string& path, int held);

    // The rule for one path's lstat status: appends one line per problem found to problems
    // (nothing when it passes).
    static void Judge(const struct stat& st, EKind kind, const std::string& path,
                      std::vector<std::string>& problems);
    // The rule for a folder above the installation (or above a folder the installer reads).
    static void JudgeParent(const struct stat& st, const std::string& path, uid_t alsoTrusted,
                            std::vector<std::string>& problems);
    // The text wrapped in single quotes for a POSIX shell, so a printed command is safe to paste.
    static std::string ShellQuote(const std::string& text);
    // The components of a path, without empty ones and ".".
    static std::vector<std::string> Components(const std::string& path);

private:
    struct Entry {
        std::string name;
        EKind kind;
    };

    std::string PathOf(const std::string& name) const;
    void CheckOne(const Entry& entry);
    // The folder that holds name's last component, opened below the held folder; -1 when it is
    // missing (ok) or unusable (a problem is added when it is not missing).
    int OpenParentOf(const std::string& name, std::string& leaf);
    void AddProblem(const std::string& line);

    std::string m_root;
    std::vector<Entry> m_entries;
    std::vector<std::string> m_problems;
    CUniqueFd m_folder;
};
