#include "CFileSwap.h"

#include "CHeldFolder.h"
#include "CUniqueFd.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// Files the installation keeps across updates: the two stores hold the user's settings.
const char* const kKeptFiles[] = {"conf/conf.xml", "conf/client.xml"};
// Files whose trust the installer itself stands on: a signed package that replaced the release
// key would decide which packages come next, and one that replaced the version record would let
// older packages in again.
const char* const kTrustFiles[] = {"conf/release.pub", "conf/installed-version"};
// Top-level folders that belong to the running installation, not to a package.
const char* const kKeptFolders[] = {"Quorra", "Log"};

std::string FirstComponent(const std::string& rel) {
    return rel.substr(0, rel.find('/'));
}

struct DirClose {
    void operator()(DIR* d) const { closedir(d); }
};

std::vector<std::string> Names(int dir) {
    std::vector<std::string> names;
    const int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::unique_ptr<DIR, DirClose> listing(fd >= 0 ? fdopendir(fd) : nullptr);
    if (!listing && fd >= 0)
        close(fd);
    while (listing) {
        const dirent* entry = readdir(listing.get());
        if (entry == nullptr)
            break;
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    return names;
}

}  // namespace

CFileSwap::CFileSwap(int install, int unpacked, int backup)
    : m_install(install), m_unpacked(unpacked), m_backup(backup) {}

bool CFileSwap::MayReplace(const std::string& rel, std::string& error) const {
    for (const char* kept : kKeptFiles) {
        if (rel == kept) {
            error = "the package would replace the store file " + rel;
            return false;
        }
    }
    for (const char* trust : kTrustFiles) {
        if (rel == trust) {
            error = "the package would replace " + rel + ", which no package may change";
            return false;
        }
    }
    const std::string top = FirstComponent(rel);
    for (const char* kept : kKeptFolders) {
        if (top == kept) {
            error = "the package writes into " + top + "/";
            return false;
        }
    }
    if (top.rfind(".update-", 0) == 0) {
        error = "the package writes into a staging folder";
        return false;
    }
    std::string leaf;
    CUniqueFd parent(CHeldFolder::OpenParent(m_install, rel, leaf));
    struct stat st;
    // No folder there yet: made when the file moves in. Something else in the way makes the move
    // fail, and the run is undone then.
    if (parent.get() < 0)
        return true;
    if (fstatat(parent.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISREG(st.st_mode)) {
        error = "the package would replace " + rel + ", which is not a regular file";
        return false;
    }
    return true;
}

bool CFileSwap::Accept(int dir, const std::string& name, const std::string& rel,
                       std::string& error) {
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        error = "cannot read the unpacked " + rel + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        CUniqueFd below(openat(dir, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        return below.get() >= 0 && Walk(below.get(), rel + "/", error);
    }
    // A second link is a member that names another file of the package (or one elsewhere).
    if (!S_ISREG(st.st_mode) || st.st_nlink > 1) {
        error = "the package holds " + rel + ", which is neither a file nor a folder";
        return false;
    }
    if (!MayReplace(rel, error))
        return false;
    // Packages may make programs executable, never set-id or writable by others.
    fchmodat(dir, name.c_str(), st.st_mode & 0755, 0);
    m_files.push_back(rel);
    return true;
}

bool CFileSwap::Walk(int dir, const std::string& prefix, std::string& error) {
    for (const std::string& name : Names(dir)) {
        if (!Accept(dir, name, prefix + name, error))
            return false;
    }
    return true;
}

bool CFileSwap::Check(std::string& error) {
    m_files.clear();
    if (!Walk(m_unpacked, "", error))
        return false;
    if (m_files.empty()) {
        error = "the package holds no file";
        return false;
    }
    return true;
}

bool CFileSwap::Backup(int installParent, const std::string& rel, const std::string& leaf) {
    std::string keptLeaf;
    std::vector<std::string> made;  // the backup goes as a whole; its folders need no record
    CUniqueFd kept(CHeldFolder::OpenParent(m_backup, rel, keptLeaf, 0700, &made));
    return kept.get() >= 0 &&
           linkat(installParent, leaf.c_str(), kept.get(), keptLeaf.c_str(), 0) == 0;
}

bool CFileSwap::MoveOne(const std::string& rel, std::string& error) {
    std::string leaf, fromLeaf;
    CUniqueFd target(CHeldFolder::OpenParent(m_install, rel, leaf, 0755, &m_madeDirs));
    CUniqueFd from(CHeldFolder::OpenParent(m_unpacked, rel, fromLeaf));
    struct stat st;
    const bool exists =
        target.get() >= 0 && fstatat(target.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (target.get() < 0 || from.get() < 0 || (exists && !Backup(target.get(), rel, leaf))) {
        error = "cannot prepare " + rel + ": " + std::strerror(errno);
        return false;
    }
    if (renameat(from.get(), fromLeaf.c_str(), target.get(), leaf.c_str()) != 0) {
        error = "cannot move " + rel + " into place: " + std::strerror(errno);
        return false;
    }
    (exists ? m_replaced : m_added).push_back(rel);
    return true;
}

bool CFileSwap::Apply(std::string& error) {
    for (const std::string& rel : m_files) {
        if (!MoveOne(rel, error)) {
            Rollback();
            return false;
        }
    }
    return true;
}

void CFileSwap::Rollback() {
    for (const std::string& rel : m_replaced) {
        std::string leaf, keptLeaf;
        CUniqueFd target(CHeldFolder::OpenParent(m_install, rel, leaf));
        CUniqueFd kept(CHeldFolder::OpenParent(m_backup, rel, keptLeaf));
        if (target.get() < 0 || kept.get() < 0 ||
            renameat(kept.get(), keptLeaf.c_str(), target.get(), leaf.c_str()) != 0)
            std::fprintf(stderr, "AutoUpdate: cannot put back %s: %s\n", rel.c_str(),
                         std::strerror(errno));
    }
    for (const std::string& rel : m_added) {
        std::string leaf;
        CUniqueFd target(CHeldFolder::OpenParent(m_install, rel, leaf));
        if (target.get() >= 0)
            unlinkat(target.get(), leaf.c_str(), 0);
    }
    for (auto dir = m_madeDirs.rbegin(); dir != m_madeDirs.rend(); ++dir) {
        std::string leaf;
        CUniqueFd parent(CHeldFolder::OpenParent(m_install, *dir, leaf));
        if (parent.get() >= 0)
            unlinkat(parent.get(), leaf.c_str(), AT_REMOVEDIR);
    }
    m_replaced.clear();
    m_added.clear();
    m_madeDirs.clear();
}
