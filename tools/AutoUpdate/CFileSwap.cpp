#include "CFileSwap.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

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

}  // namespace

CFileSwap::CFileSwap(std::string installDir, std::string newDir, std::string backupDir)
    : m_installDir(std::move(installDir)),
      m_newDir(std::move(newDir)),
      m_backupDir(std::move(backupDir)) {}

bool CFileSwap::Allowed(const std::string& rel, std::string& error) const {
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
    struct stat st;
    if (lstat((m_installDir + "/" + rel).c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        error = "the package would replace " + rel + ", which is not a regular file";
        return false;
    }
    return true;
}

bool CFileSwap::Check(std::string& error) {
    m_files.clear();
    std::error_code ec;
    fs::recursive_directory_iterator it(m_newDir, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const fs::file_status st = it->symlink_status();
        const std::string rel = fs::relative(it->path(), m_newDir).string();
        if (fs::is_directory(st))
            continue;
        if (!fs::is_regular_file(st)) {
            error = "the package holds " + rel + ", which is neither a file nor a folder";
            return false;
        }
        if (!Allowed(rel, error))
            return false;
        // Packages may make programs executable, never set-id or writable by others.
        chmod(it->path().c_str(), st.permissions() == fs::perms::unknown
                                      ? 0644
                                      : static_cast<mode_t>(st.permissions()) & 0755);
        m_files.push_back(rel);
    }
    if (ec) {
        error = "cannot read the unpacked package: " + ec.message();
        return false;
    }
    if (m_files.empty()) {
        error = "the package holds no file";
        return false;
    }
    return true;
}

bool CFileSwap::MakeParents(const std::string& rel) {
    std::string dir = m_installDir;
    size_t at = 0;
    for (size_t slash; (slash = rel.find('/', at)) != std::string::npos; at = slash + 1) {
        dir += "/" + rel.substr(at, slash - at);
        struct stat st;
        if (lstat(dir.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode))
                return false;
            continue;
        }
        if (mkdir(dir.c_str(), 0755) != 0)
            return false;
        m_madeDirs.push_back(dir);
    }
    return true;
}

bool CFileSwap::Backup(const std::string& rel) {
    const fs::path kept = fs::path(m_backupDir) / rel;
    std::error_code ec;
    fs::create_directories(kept.parent_path(), ec);
    return !ec && link((m_installDir + "/" + rel).c_str(), kept.c_str()) == 0;
}

bool CFileSwap::Apply(std::string& error) {
    for (const std::string& rel : m_files) {
        const std::string target = m_installDir + "/" + rel;
        const bool exists = access(target.c_str(), F_OK) == 0;
        if (!MakeParents(rel) || (exists && !Backup(rel))) {
            error = "cannot prepare " + rel + ": " + std::strerror(errno);
            Rollback();
            return false;
        }
        if (rename((m_newDir + "/" + rel).c_str(), target.c_str()) != 0) {
            error = "cannot move " + rel + " into place: " + std::strerror(errno);
            Rollback();
            return false;
        }
        (exists ? m_replaced : m_added).push_back(rel);
    }
    return true;
}

void CFileSwap::Rollback() {
    for (const std::string& rel : m_replaced) {
        const std::string kept = m_backupDir + "/" + rel;
        if (rename(kept.c_str(), (m_installDir + "/" + rel).c_str()) != 0)
            std::fprintf(stderr, "AutoUpdate: cannot put back %s: %s\n", rel.c_str(),
                         std::strerror(errno));
    }
    for (const std::string& rel : m_added)
        unlink((m_installDir + "/" + rel).c_str());
    for (auto dir = m_madeDirs.rbegin(); dir != m_madeDirs.rend(); ++dir)
        rmdir(dir->c_str());
    m_replaced.clear();
    m_added.clear();
    m_madeDirs.clear();
}
