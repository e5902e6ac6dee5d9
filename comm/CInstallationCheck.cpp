#include "CInstallationCheck.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

const char* KindName(CInstallationCheck::EKind kind) {
    switch (kind) {
        case CInstallationCheck::EK_FOLDER:
            return "a folder";
        case CInstallationCheck::EK_FIFO:
            return "a named pipe";
        default:
            return "a regular file";
    }
}

bool IsKind(const struct stat& st, CInstallationCheck::EKind kind) {
    switch (kind) {
        case CInstallationCheck::EK_FOLDER:
            return S_ISDIR(st.st_mode);
        case CInstallationCheck::EK_FIFO:
            return S_ISFIFO(st.st_mode);
        default:
            return S_ISREG(st.st_mode);
    }
}

// The owner a mended path should get: root for the root service, else this program's own user.
std::string OwnerName() {
    const uid_t me = geteuid();
    if (me == 0)
        return "root";
    struct passwd entry;
    struct passwd* found = nullptr;
    std::vector<char> buf(4096);
    if (getpwuid_r(me, &entry, buf.data(), buf.size(), &found) == 0 && found != nullptr)
        return found->pw_name;
    return std::to_string(me);
}

std::string Line(const std::string& path, const std::string& what, const std::string& fix) {
    return "unsafe installation: " + path + " " + what + "; mend it with: " + fix;
}

}  // namespace

CInstallationCheck::CInstallationCheck(std::string root) : m_root(std::move(root)) {}

void CInstallationCheck::Add(const std::string& name, EKind kind) {
    m_entries.push_back(Entry{name, kind});
}

std::string CInstallationCheck::PathOf(const std::string& name) const {
    if (name.empty())
        return m_root;
    if (!m_root.empty() && m_root.back() == '/')
        return m_root + name;
    return m_root + "/" + name;
}

bool CInstallationCheck::Check() {
    m_problems.clear();
    for (const Entry& entry : m_entries)
        CheckOne(entry);
    return m_problems.empty();
}

void CInstallationCheck::CheckOne(const Entry& entry) {
    const std::string path = PathOf(entry.name);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        // Missing is fine: the program makes it itself. A folder on the way that denies this
        // (unprivileged) user a look is not this user's, so it is judged as an entry of its own
        // (a root folder the service keeps private, such as Log/): only its owner can change
        // what is inside. Anything else hides what is there.
        if (errno != ENOENT && !(errno == EACCES && geteuid() != 0)) {
            m_problems.push_back(Line(path,
                                      std::string("cannot be examined (") + strerror(errno) + ")",
                                      "ls -ld " + ShellQuote(path)));
        }
        return;
    }
    Judge(st, entry.kind, path, m_problems);
}

void CInstallationCheck::Judge(const struct stat& st, EKind kind, const std::string& path,
                               std::vector<std::string>& problems) {
    const std::string quoted = ShellQuote(path);
    if (S_ISLNK(st.st_mode)) {
        // Whoever can aim the link chooses what the program reads and writes; nothing else about
        // a link matters.
        problems.push_back(
            Line(path, "is a symbolic link",
                 "t=$(readlink -f " + quoted + ") && rm " + quoted + " && cp -R \"$t\" " + quoted));
        return;
    }
    if (!IsKind(st, kind)) {
        // Only a reinstallation knows what belongs there.
        problems.push_back("unsafe installation: " + path + " is not " + KindName(kind) +
                           "; remove it and reinstall: rm -ri " + quoted);
        return;
    }
    if (st.st_uid != 0 && st.st_uid != geteuid()) {
        problems.push_back(Line(path, "is owned by user " + std::to_string(st.st_uid),
                                "chown " + OwnerName() + " " + quoted));
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        problems.push_back(Line(path, "is writable by group or others", "chmod go-w " + quoted));
}

std::string CInstallationCheck::ShellQuote(const std::string& text) {
    std::string out = "'";
    for (const char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}
