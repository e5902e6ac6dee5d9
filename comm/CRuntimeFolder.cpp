#include "CRuntimeFolder.h"

#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "CInstallationCheck.h"
#include "CUniqueFd.h"

namespace {

std::string Octal(mode_t mode) {
    char text[8];
    snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::string Failed(const char* what, const std::string& path) {
    return std::string("cannot ") + what + " " + path + ": " + std::strerror(errno);
}

// The folder, opened without following a link, and its status.
bool OpenFolder(const std::string& path, CUniqueFd& fd, struct stat& st, std::string& why) {
    fd.Reset(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) {
        why = errno == ELOOP || errno == ENOTDIR ? "pipe folder " + path + " is not a folder"
                                                 : Failed("open the pipe folder", path);
        return false;
    }
    if (fstat(fd.get(), &st) != 0) {
        why = Failed("examine the pipe folder", path);
        return false;
    }
    return true;
}

// A fresh FIFO at path, retried when another member puts something back between the removal and
// the creation.
bool FreshFifo(const std::string& path, std::string& why) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (unlink(path.c_str()) != 0 && errno != ENOENT) {
            why = Failed("remove", path);
            return false;
        }
        if (mkfifo(path.c_str(), 0600) == 0)
            return true;
        if (errno != EEXIST)
            break;
    }
    why = Failed("create the FIFO", path);
    return false;
}

}  // namespace

bool CRuntimeFolder::GroupId(gid_t& group, std::string& why) {
    struct group entry;
    struct group* found = nullptr;
    std::vector<char> buf(16384);
    if (getgrnam_r(kGroup, &entry, buf.data(), buf.size(), &found) == 0 && found != nullptr) {
        group = found->gr_gid;
        return true;
    }
    why = std::string("the group \"") + kGroup +
          "\" of the window's users is missing; create it with: groupadd --system " + kGroup;
    return false;
}

bool CRuntimeFolder::Claim(const std::string& path, gid_t group, std::string& why) {
    if (path.empty() || path[0] != '/') {
        why = "pipe folder '" + path + "' is not an absolute path";
        return false;
    }
    CUniqueFd fd;
    struct stat st;
    if (!OpenFolder(path, fd, st, why))
        return false;
    if (st.st_uid != 0) {
        why = "pipe folder " + path + " is owned by user " + std::to_string(st.st_uid);
        return false;
    }
    if ((st.st_mode & 07777 & ~kFolderMode) != 0) {
        why = "pipe folder " + path + " has mode " + Octal(st.st_mode) + ", wider than " +
              Octal(kFolderMode);
        return false;
    }
    if (fchown(fd.get(), static_cast<uid_t>(-1), group) != 0 ||
        fchmod(fd.get(), kFolderMode) != 0) {
        why = Failed("give the pipe folder to its group:", path);
        return false;
    }
    if (fstat(fd.get(), &st) != 0) {
        why = Failed("examine the pipe folder", path);
        return false;
    }
    why = JudgeFolder(st, path, group);
    return why.empty();
}

std::string CRuntimeFolder::JudgeFolder(const struct stat& st, const std::string& path,
                                        gid_t group) {
    if (!S_ISDIR(st.st_mode))
        return "pipe folder " + path + " is not a folder";
    if (st.st_uid != 0)
        return "pipe folder " + path + " is owned by user " + std::to_string(st.st_uid);
    if (st.st_gid != group || (st.st_mode & 07777) != kFolderMode)
        return "pipe folder " + path + " is not group " + kGroup + " with mode " +
               Octal(kFolderMode) + "; mend it with: chown root:" + kGroup + " " +
               CInstallationCheck::ShellQuote(path) + " && chmod " + Octal(kFolderMode) + " " +
               CInstallationCheck::ShellQuote(path);
    return "";
}

std::string CRuntimeFolder::JudgePipe(const struct stat& st, const std::string& path, gid_t group,
                                      uid_t owner) {
    if (S_ISLNK(st.st_mode))
        return path + " is a symbolic link";
    if (!S_ISFIFO(st.st_mode))
        return path + " is not a named pipe";
    if (owner != kAnyOwner && st.st_uid != owner)
        return path + " is owned by user " + std::to_string(st.st_uid) + ", not " +
               std::to_string(owner);
    if (st.st_gid != group)
        return path + " is not of the group " + kGroup;
    if ((st.st_mode & 07777) != kPipeMode)
        return path + " has mode " + Octal(st.st_mode) + ", not " + Octal(kPipeMode);
    return "";
}

bool CRuntimeFolder::MakePipe(const std::string& path, gid_t group, std::string& why) {
    if (!FreshFifo(path, why))
        return false;
    // Opening the read end never waits; what is opened is what gets the group and the mode.
    CUniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0) {
        why = Failed("open the new FIFO", path);
        return false;
    }
    if (!S_ISFIFO(st.st_mode) || st.st_uid != geteuid()) {
        why = path + " was replaced while it was being made";
        return false;
    }
    if (fchown(fd.get(), static_cast<uid_t>(-1), group) != 0 || fchmod(fd.get(), kPipeMode) != 0) {
        why = Failed("give the FIFO to its group:", path);
        return false;
    }
    return true;
}
