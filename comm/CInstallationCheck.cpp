#include "CInstallationCheck.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace {

constexpr int kWalkFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

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

std::string Join(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

std::string Unexaminable(const std::string& path) {
    return Line(path, std::string("cannot be examined (") + std::strerror(errno) + ")",
                "ls -ld " + CInstallationCheck::ShellQuote(path));
}

// One step of a walk from "/": the folder name in dir, judged as a folder on the way before it is
// entered. Returns its descriptor or -1 with a problem added.
int StepInto(int dir, const std::string& name, const std::string& path,
             std::vector<std::string>& problems) {
    struct stat st;
    if (name == "..") {
        problems.push_back(
            Line(path, "climbs back with \"..\"",
                 "name it by its real path: realpath " + CInstallationCheck::ShellQuote(path)));
        return -1;
    }
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        problems.push_back(Unexaminable(path));
        return -1;
    }
    if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) {
        // A link on the way is followed by every later use of the path text, wherever it points
        // then; the real path is the one to use.
        problems.push_back(
            Line(path, S_ISLNK(st.st_mode) ? "is a symbolic link" : "is not a folder",
                 "name it by its real path: realpath " + CInstallationCheck::ShellQuote(path)));
        return -1;
    }
    const int fd = openat(dir, name.c_str(), kWalkFlags);
    if (fd < 0)
        problems.push_back(Unexaminable(path));
    return fd;
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

void CInstallationCheck::AddProblem(const std::string& line) {
    if (std::find(m_problems.begin(), m_problems.end(), line) == m_problems.end())
        m_problems.push_back(line);
}

int CInstallationCheck::OpenFolder(const std::string& path, uid_t alsoTrusted,
                                   std::vector<std::string>& problems, struct stat& last) {
    if (path.empty() || path[0] != '/') {
        problems.push_back(Line(path, "is not an absolute path",
                                "name it by its real path: realpath " + ShellQuote(path)));
        return -1;
    }
    CUniqueFd dir(open("/", kWalkFlags));
    std::string walked = "/";
    if (dir.get() < 0 || fstat(dir.get(), &last) != 0) {
        problems.push_back(Unexaminable(walked));
        return -1;
    }
    const size_t before = problems.size();
    for (const std::string& name : Components(path)) {
        // Whoever may change this folder may swap what comes below it.
        JudgeParent(last, walked, alsoTrusted, problems);
        if (problems.size() != before)
            return -1;
        walked = Join(walked, name);
        dir.Reset(StepInto(dir.get(), name, walked, problems));
        if (dir.get() < 0)
            return -1;
        if (fstat(dir.get(), &last) != 0) {
            problems.push_back(Unexaminable(walked));
            return -1;
        }
    }
    return dir.Release();
}

bool CInstallationCheck::StillAt(const std::string& path, int held) {
    std::vector<std::string> problems;
    struct stat now, then;
    CUniqueFd fd(OpenFolder(path, 0, problems, now));
    return fd.get() >= 0 && fstat(held, &then) == 0 && now.st_dev == then.st_dev &&
           now.st_ino == then.st_ino;
}

bool CInstallationCheck::Enter(int folder, std::string& why) {
    struct stat held, here;
    if (fchdir(folder) != 0 || fstat(folder, &held) != 0 || stat(".", &here) != 0) {
        why = std::string("cannot enter the checked installation folder: ") + std::strerror(errno);
        return false;
    }
    if (held.st_dev != here.st_dev || held.st_ino != here.st_ino) {
        why = "the working directory is not the checked installation folder";
        return false;
    }
    return true;
}

bool CInstallationCheck::Check() {
    m_problems.clear();
    struct stat st;
    m_folder.Reset(OpenFolder(m_root, 0, m_problems, st));
    if (m_folder.get() < 0)
        return false;
    for (const Entry& entry : m_entries)
        CheckOne(entry);
    if (!m_problems.empty())
        m_folder.Reset(-1);
    return m_problems.empty();
}

int CInstallationCheck::OpenParentOf(const std::string& name, std::string& leaf) {
    std::vector<std::string> parts = Components(name);
    leaf = parts.empty() ? std::string() : parts.back();
    CUniqueFd dir(fcntl(m_folder.get(), F_DUPFD_CLOEXEC, 0));
    std::string walked;
    for (size_t i = 0; i + 1 < parts.size() && dir.get() >= 0; ++i) {
        walked += (walked.empty() ? "" : "/") + parts[i];
        struct stat st;
        if (fstatat(dir.get(), parts[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                AddProblem(Unexaminable(PathOf(walked)));
            return -1;  // missing: nothing below it to trust yet
        }
        if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) {
            std::vector<std::string> found;
            Judge(st, EK_FOLDER, PathOf(walked), found);
            for (const std::string& line : found)
                AddProblem(line);
            return -1;
        }
        dir.Reset(openat(dir.get(), parts[i].c_str(), kWalkFlags));
        if (dir.get() < 0)
            AddProblem(Unexaminable(PathOf(walked)));
    }
    return dir.Release();
}

void CInstallationCheck::CheckOne(const Entry& entry) {
    const std::string path = PathOf(entry.name);
    struct stat st;
    std::vector<std::string> found;
    if (Components(entry.name).empty()) {
        if (fstat(m_folder.get(), &st) != 0) {
            AddProblem(Unexaminable(path));
            return;
        }
        Judge(st, entry.kind, path, found);
    } else {
        std::string leaf;
        CUniqueFd dir(OpenParentOf(entry.name, leaf));
        if (dir.get() < 0)
            return;
        if (fstatat(dir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            // Missing is fine: the program makes it itself. A folder on the way that denies this
            // (unprivileged) user a look is not this user's, so it was judged as an entry of its
            // own (a root folder the service keeps private, such as Log/): only its owner can
            // change what is inside. Anything else hides what is there.
            if (errno != ENOENT && !(errno == EACCES && geteuid() != 0))
                AddProblem(Unexaminable(path));
            return;
        }
        Judge(st, entry.kind, path, found);
    }
    for (const std::string& line : found)
        AddProblem(line);
}

void CInstallationCheck::Judge(const struct stat& st, EKind kind, const std::string& path,
                               std::vector<std::string>& problems) {
    const std::string quoted = ShellQuote(path);
    if (S_ISLNK(st.st_mode)) {
        // Whoever planted the link chose what the program would read and write; what it points to
        // is theirs, so only a fresh copy from the installer belongs there.
        problems.push_back(Line(path, "is a symbolic link", "rm " + quoted + ", then reinstall"));
        return;
    }
    if (!IsKind(st, kind)) {
        // Only a reinstallation knows what belongs there.
        problems.push_back("unsafe installation: " + path + " is not " + KindName(kind) +
                           "; remove it and reinstall: rm -ri " + quoted);
        return;
    }
    if (S_ISREG(st.st_mode) && st.st_nlink > 1) {
        // The other name may lie anywhere on the file system, and a write here lands there too.
        problems.push_back(Line(path, "has " + std::to_string(st.st_nlink) + " hard links",
                                "rm " + quoted + ", then reinstall"));
        return;
    }
    if (st.st_uid != 0 && st.st_uid != geteuid()) {
        problems.push_back(Line(path, "is owned by user " + std::to_string(st.st_uid),
                                "chown " + OwnerName() + " " + quoted));
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        problems.push_back(Line(path, "is writable by group or others", "chmod go-w " + quoted));
}

void CInstallationCheck::JudgeParent(const struct stat& st, const std::string& path,
                                     uid_t alsoTrusted, std::vector<std::string>& problems) {
    const std::string quoted = ShellQuote(path);
    const bool trustedOwner =
        st.st_uid == 0 || st.st_uid == geteuid() || (alsoTrusted != 0 && st.st_uid == alsoTrusted);
    if (!trustedOwner) {
        problems.push_back(Line(path, "is owned by user " + std::to_string(st.st_uid),
                                "chown " + OwnerName() + " " + quoted));
    }
    // A sticky folder (as /tmp) lets others add names but not rename or remove ours.
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0)
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

std::vector<std::string> CInstallationCheck::Components(const std::string& path) {
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= path.size()) {
        const size_t slash = std::min(path.find('/', at), path.size());
        const std::string part = path.substr(at, slash - at);
        if (!part.empty() && part != ".")
            parts.push_back(part);
        at = slash + 1;
    }
    return parts;
}
