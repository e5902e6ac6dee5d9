#include "CStateFolder.h"

#include "CHeldPath.h"
#include "CInstallationCheck.h"
#include "CSimpleFile.h"
#include "CXMLOpt.h"
#include "ISvrInfoCenter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

bool IsDecimal(const std::string& text) {
    if (text.empty() || text.size() > 18)
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

bool CopyOne(int from, int to, const char* name, std::string& why) {
    struct stat st;
    if (fstatat(to, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
        return true;  // the service's own copy by now
    if (errno != ENOENT) {
        why =
            std::string(name) + " in the state folder cannot be examined: " + std::strerror(errno);
        return false;
    }
    CUniqueFd source(CSimpleFile::OpenSingleLink(from, name, O_RDONLY));
    std::string bytes;
    if (source.get() < 0 || !CSimpleFile::ReadAll(source.get(), bytes)) {
        why =
            std::string("the installation's ") + name + " cannot be read: " + std::strerror(errno);
        return false;
    }
    const std::string target = CHeldPath::Below(to, name);
    if (!CSimpleFile::WriteFileAtomic(target.c_str(), bytes.data(), bytes.size(), false)) {
        why = std::string(name) + " cannot be written in the state folder: " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

CStateFolder::CStateFolder(std::string path) : m_path(WithoutTrailingSlashes(std::move(path))) {}

std::string CStateFolder::Choose(const std::string& configured, const char* given,
                                 std::string& note) {
    note.clear();
    if (given == nullptr || *given == '\0' ||
        WithoutTrailingSlashes(given) == WithoutTrailingSlashes(configured))
        return configured;
    note = std::string("the unit's state folder ") + given + " is not " + configured +
           ", which the service uses";
    return configured;
}

void CStateFolder::AddWrittenPaths(CInstallationCheck& check, const std::string& day) {
    for (const char* folder : {"", "conf", "Log"})
        check.Add(folder, CInstallationCheck::EK_FOLDER);
    for (const char* file :
         {"zuvUzarod.zxm", "conf/conf.xml", "conf/resolv.conf.saved", "conf/resolv.conf.written"})
        check.Add(file, CInstallationCheck::EK_FILE);
    check.Add("Log/" + day + "_Info.log", CInstallationCheck::EK_FILE);
    for (const char* fifo : {"serverpipe", "clientpipe"})
        check.Add(fifo, CInstallationCheck::EK_FIFO);
}

bool CStateFolder::CreateWhenMissing() {
    struct stat st;
    if (lstat(m_path.c_str(), &st) == 0 || errno != ENOENT)
        return true;  // the check judges what is there
    const size_t slash = m_path.rfind('/');
    if (m_path.empty() || m_path[0] != '/' || slash + 1 >= m_path.size())
        return true;  // the check says why such a path cannot be taken
    const std::string parent = slash == 0 ? "/" : m_path.substr(0, slash);
    // Made only below folders that the walk accepts, so nobody else can swap it afterwards.
    CUniqueFd above(CInstallationCheck::OpenFolder(parent, 0, m_problems, st));
    if (above.get() < 0)
        return false;
    // The walk judged the folders above the parent; the parent itself holds the new folder.
    const size_t before = m_problems.size();
    CInstallationCheck::JudgeParent(st, parent, 0, m_problems);
    if (m_problems.size() != before)
        return false;
    if (mkdirat(above.get(), m_path.c_str() + slash + 1, 0700) != 0 && errno != EEXIST) {
        m_problems.push_back("cannot create the state folder " + m_path + ": " +
                             std::strerror(errno));
        return false;
    }
    return true;
}

bool CStateFolder::Take(const std::string& day) {
    m_problems.clear();
    m_folder.Reset(-1);
    if (!CreateWhenMissing())
        return false;
    CInstallationCheck check(m_path);
    AddWrittenPaths(check, day);
    if (!check.Check()) {
        m_problems = check.Problems();
        return false;
    }
    m_folder.Reset(check.TakeFolder());
    return true;
}

bool CStateFolder::Seed(int installation, std::string& why) const {
    for (const char* folder : {"conf", "Log"}) {
        if (mkdirat(m_folder.get(), folder, 0700) != 0 && errno != EEXIST) {
            why = std::string("cannot create ") + folder +
                  " in the state folder: " + std::strerror(errno);
            return false;
        }
    }
    for (const char* name : kSeededFiles) {
        if (!CopyOne(installation, m_folder.get(), name, why))
            return false;
    }
    return true;
}

bool CStateFolder::IsNewerVersion(const std::string& shipped, const std::string& stored) {
    if (!IsDecimal(shipped))
        return false;
    if (!IsDecimal(stored))
        return true;
    return std::stoll(shipped) > std::stoll(stored);
}

bool CStateFolder::RefreshVersion(int installation, ISvrInfoCenter* store) {
    CXMLOpt shipped;
    if (store == nullptr ||
        !shipped.LoadFile(CHeldPath::Below(installation, "conf/conf.xml").c_str()))
        return false;
    const std::string version = shipped.GetValue("version").c_str();
    if (!IsNewerVersion(version, store->GetLocalValue("version").c_str()))
        return false;
    return store->SetLocalValue("version", version.c_str());
}
