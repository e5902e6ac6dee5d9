#include "CPackageInstaller.h"

#include "CFileSwap.h"
#include "CHandOverCheck.h"
#include "CHeldFolder.h"
#include "CInstallationCheck.h"
#include "CPackageSignature.h"
#include "CProcessLauncher.h"
#include "CSimpleFile.h"
#include "CXMLOpt.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// Without a version of its own an installation counts as this one (as the client's argument).
const char kDefaultVersion[] = "1000";

const char kOwnDownloads[] = "Quorra/AutoSetupAuth";

bool IsSafeName(const std::string& name) {
    if (name.empty() || name.size() > 64 || name.find('/') != std::string::npos ||
        name.find("..") != std::string::npos)
        return false;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f)
            return false;
    }
    return true;
}

// The payload as tar's standard input: a memory file, so the verified bytes are the ones unpacked.
int MemoryFileOf(const std::string& data) {
    CUniqueFd fd(memfd_create("package", MFD_CLOEXEC));
    if (fd.get() < 0 || !CSimpleFile::WriteAll(fd.get(), data.data(), data.size()) ||
        lseek(fd.get(), 0, SEEK_SET) != 0)
        return -1;
    return fd.Release();
}

const char* TarProgram() {
    return access("/bin/tar", X_OK) == 0 ? "/bin/tar" : "/usr/bin/tar";
}

// The environment of a main program started as the desktop user: the display it shows on, and
// the user's own basics; nothing else of root's.
std::vector<std::string> UserEnvironment(const struct passwd& pw) {
    std::vector<std::string> env = {
        std::string("HOME=") + pw.pw_dir, std::string("USER=") + pw.pw_name,
        std::string("LOGNAME=") + pw.pw_name, "PATH=/usr/local/bin:/usr/bin:/bin"};
    for (const char* name : {"DISPLAY", "XAUTHORITY"}) {
        if (const char* value = std::getenv(name))
            env.push_back(std::string(name) + "=" + value);
    }
    return env;
}

// Fills the options that drop a child to uid; false when the user is unknown.
bool AsUser(uid_t uid, CProcessLauncher::Options& options) {
    struct passwd entry;
    struct passwd* pw = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(uid, &entry, buf.data(), buf.size(), &pw) != 0 || pw == nullptr)
        return false;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<size_t>(count));
        if (getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &count) < 0)
            return false;
    }
    groups.resize(static_cast<size_t>(count));
    options.asUser = true;
    options.uid = uid;
    options.gid = pw->pw_gid;
    options.groups = groups;
    options.ownEnvironment = true;
    options.environment = UserEnvironment(*pw);
    return true;
}

}  // namespace

void CPackageInstaller::Log(const std::string& line) {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(stamp, sizeof stamp, "%m-%d %H:%M:%S ", std::localtime(&now));
    std::fprintf(stderr, "AutoUpdate: %s\n", line.c_str());
    if (!m_bLogFile || m_install.get() < 0)
        return;
    // Started detached, the installer has no terminal: the log folder is where its word stays.
    // Never through a link planted at the name: the installer runs as root.
    std::vector<std::string> made;
    CUniqueFd logDir(CHeldFolder::OpenBelow(m_install.get(), "Log", 0700, &made));
    if (logDir.get() >= 0)
        CHeldFolder::Append(logDir.get(), "AutoUpdate.log", stamp + line + "\n");
}

CPackageInstaller::EResult CPackageInstaller::Run() {
    std::string error;
    if (!OpenDownloads(error) || !ReadList(error))
        return Refuse(error);
    const std::string staging = CHeldFolder::MakeTemp(m_install.get(), ".update-");
    if (staging.empty())
        return Refuse("cannot make a staging folder in " + m_args.installDir);
    const EResult result = Install(staging, error);
    CHeldFolder::Remove(m_install.get(), staging);
    return result;
}

CPackageInstaller::EResult CPackageInstaller::Install(const std::string& staging,
                                                      std::string& error) {
    std::vector<std::string> made;
    CUniqueFd unpacked(CHeldFolder::OpenBelow(m_install.get(), staging + "/new", 0755, &made));
    CUniqueFd backup(CHeldFolder::OpenBelow(m_install.get(), staging + "/old", 0700, &made));
    if (unpacked.get() < 0 || backup.get() < 0)
        return Refuse("cannot make a staging folder in " + m_args.installDir);
    CFileSwap swap(m_install.get(), unpacked.get(), backup.get());
    if (!Unpack(unpacked.get(), error) || !swap.Check(error))
        return Refuse(error);
    WaitForOldClient();
    // What was checked is what is held; a path that now leads elsewhere means someone moved the
    // installation during the run, and whatever sits at the path now is no one's to update.
    if (!CInstallationCheck::StillAt(m_args.installDir, m_install.get()))
        return Refuse("the installation was moved away from " + m_args.installDir +
                      " during the run; nothing is installed");
    if (!ApplyWithVersion(swap, error)) {
        Log("installation failed and was undone: " + error);
        ClearDownloads();
        StartMainProgram(false);
        return ROLLED_BACK;
    }
    Log("installed " + std::to_string(swap.Count()) + " files from " +
        std::to_string(m_packages.size()) + " package(s), version " + std::to_string(m_newVersion));
    ClearDownloads();
    if (!StartMainProgram(true)) {
        swap.Rollback();
        RecordVersion(m_bHadRecord ? m_oldRecord : "");
        Log("the new " + m_args.mainProgram + " did not start; the previous files are back");
        StartMainProgram(false);
        return ROLLED_BACK;
    }
    return INSTALLED;
}

bool CPackageInstaller::OpenDownloads(std::string& error) {
    if (m_download.get() >= 0)
        return true;
    if (m_args.ownDownloads) {
        m_download.Reset(CHeldFolder::OpenBelow(m_install.get(), kOwnDownloads));
    } else {
        // The user's own folder: theirs or root's all the way down, and no one else's to change.
        std::vector<std::string> problems;
        struct stat st {};
        m_download.Reset(
            CInstallationCheck::OpenFolder(m_args.downloadDir, m_args.invoker, problems, st));
        if (m_download.get() >= 0)
            CInstallationCheck::JudgeParent(st, m_args.downloadDir, m_args.invoker, problems);
        if (!problems.empty() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            m_download.Reset(-1);
            const std::string prefix = "unsafe installation: ";
            std::string what =
                problems.empty() ? m_args.downloadDir + " is writable by others" : problems.front();
            if (what.rfind(prefix, 0) == 0)
                what.erase(0, prefix.size());
            error = "the download folder is not safe: " + what;
            return false;
        }
    }
    if (m_download.get() < 0) {
        error = "the download folder cannot be opened";
        return false;
    }
    return true;
}

bool CPackageInstaller::ReadList(std::string& error) {
    std::string text, why;
    if (!CHeldFolder::ReadCapped(m_download.get(), "update.xml", kMaxListBytes, text, why)) {
        error = "the download list cannot be read: it " + why;
        return false;
    }
    CXMLOpt list(text.c_str());
    list.ResetPos();
    if (!list.IsWellFormed() || !list.FindElem("update") || !list.IntoElem()) {
        error = "the download list has no \"update\" root";
        return false;
    }
    while (list.FindElem("item")) {
        Package pkg;
        pkg.name = list.GetAttrib("name").ToStdString();
        if (list.GetAttrib("state") != "2") {
            error = "package '" + pkg.name + "' is not downloaded";
            return false;
        }
        const long long size = std::atoll(list.GetAttrib("size").c_str());
        if (!ReadPackage(pkg, list.GetAttrib("md5").ToStdString(), size, error))
            return false;
        m_packages.push_back(std::move(pkg));
    }
    if (m_packages.empty()) {
        error = "the download list names no package";
        return false;
    }
    return CheckVersions(error);
}

// Every package must be newer than what is installed: an older one (downgrade) or the installed
// one again (replay) is refused, however validly signed.
bool CPackageInstaller::CheckVersions(std::string& error) {
    uint64_t installed = 0;
    if (!InstalledVersion(installed, error))
        return false;
    for (const Package& pkg : m_packages) {
        if (pkg.version <= installed) {
            error = "package '" + pkg.name + "' has version " + std::to_string(pkg.version) +
                    ", not newer than the installed " + std::to_string(installed);
            return false;
        }
        m_newVersion = std::max(m_newVersion, pkg.version);
    }
    return true;
}

bool CPackageInstaller::InstalledVersion(uint64_t& version, std::string& error) {
    // As the client's argument has it; what the installer installed itself is in the record.
    // Both are read through the held conf/ folder, whatever the path text leads to now.
    CUniqueFd conf(CHeldFolder::OpenBelow(m_install.get(), "conf"));
    std::string text, confText, why;
    if (conf.get() >= 0 &&
        CHeldFolder::ReadCapped(conf.get(), "conf.xml", kMaxListBytes, confText, why)) {
        CXMLOpt xml(confText.c_str());
        if (xml.IsWellFormed())
            text = xml.GetValue("version").ToStdString();
    }
    if (text.empty())
        text = kDefaultVersion;
    if (!CPackageSignature::ParseVersion(text, version)) {
        error = "the installed version '" + text.substr(0, 32) + "' is not a number";
        return false;
    }
    const char* record = CHandOverCheck::kVersionRecord + sizeof "conf/" - 1;
    struct stat st;
    m_bHadRecord = conf.get() >= 0 && fstatat(conf.get(), record, &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!m_bHadRecord) {
        if (conf.get() >= 0 && errno == ENOENT)
            return true;
        error = "conf/installed-version cannot be examined";
        return false;
    }
    if (!CHeldFolder::ReadCapped(conf.get(), record, 64, m_oldRecord, why)) {
        error = "conf/installed-version cannot be read: it " + why;
        return false;
    }
    std::string recorded = m_oldRecord.substr(0, m_oldRecord.find('\n'));
    uint64_t last = 0;
    if (!CPackageSignature::ParseVersion(recorded, last)) {
        error = "conf/installed-version does not hold a version";
        return false;
    }
    version = std::max(version, last);
    return true;
}

// The files and the record of their version go in together: files without the record could be
// installed again by the same package.
bool CPackageInstaller::ApplyWithVersion(CFileSwap& swap, std::string& error) {
    if (!swap.Apply(error))
        return false;
    if (RecordVersion(std::to_string(m_newVersion) + "\n"))
        return true;
    error = "cannot record the installed version: " + std::string(std::strerror(errno));
    swap.Rollback();
    return false;
}

// Replaced whole through a temporary file, so a crash leaves the old record or the new one. The
// client reads it too; conf/ is root's alone, so the name is the file just renamed there.
bool CPackageInstaller::RecordVersion(const std::string& text) {
    CUniqueFd conf(CHeldFolder::OpenBelow(m_install.get(), "conf"));
    if (conf.get() < 0)
        return false;
    const char* record = CHandOverCheck::kVersionRecord + sizeof "conf/" - 1;
    if (text.empty())
        return unlinkat(conf.get(), record, 0) == 0 || errno == ENOENT;
    const std::string path = CHeldFolder::PathVia(conf.get(), record);
    return CSimpleFile::WriteFileAtomic(path.c_str(), text.data(), text.size(), false) &&
           fchmodat(conf.get(), record, 0644, 0) == 0;
}

// Reads the package once; nothing later opens the file again, so what is checked is what is
// unpacked, whatever the owner of the download folder does meanwhile.
bool CPackageInstaller::ReadPackage(Package& pkg, const std::string& md5, long long size,
                                    std::string& error) {
    if (!IsSafeName(pkg.name)) {
        error = "unsafe package name in the download list";
        return false;
    }
    if (size <= 0 || size > CHandOverCheck::kMaxPackageBytes) {
        error = "package '" + pkg.name + "' has the wrong size or is missing";
        return false;
    }
    // The name comes from the list's name, never from its text, so it stays in the folder.
    std::string bytes, why;
    if (!CHeldFolder::ReadCapped(m_download.get(), pkg.name + ".tar.gz", static_cast<size_t>(size),
                                 bytes, why)) {
        error = "package '" + pkg.name + "' has the wrong size or is missing (it " + why + ")";
        return false;
    }
    return VerifyPackageBytes(pkg, bytes, md5, size, error);
}

bool CPackageInstaller::VerifyPackageBytes(Package& pkg, const std::string& bytes,
                                           const std::string& md5, long long size,
                                           std::string& error) {
    if (static_cast<long long>(bytes.size()) != size) {
        error = "package '" + pkg.name + "' has the wrong size or is missing";
        return false;
    }
    std::string lowerMd5 = md5;
    for (char& c : lowerMd5)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (CPackageSignature::Md5Hex(bytes) != lowerMd5) {
        error = "package '" + pkg.name + "' does not match its MD5";
        return false;
    }
    // The key is read through the held conf/ folder, whatever the path text leads to now.
    std::string why;
    CUniqueFd conf(CHeldFolder::OpenBelow(m_install.get(), "conf"));
    if (conf.get() < 0 ||
        !CPackageSignature::Verify(CHeldFolder::PathVia(conf.get(), "release.pub"), bytes,
                                   pkg.payload, pkg.version, why)) {
        error = "package '" + pkg.name + "' refused: " + (conf.get() < 0 ? "no conf/" : why);
        return false;
    }
    return true;
}

// Unpacks the verified payloads from memory, in list order, into the held staging folder.
bool CPackageInstaller::Unpack(int target, std::string& error) {
    for (const Package& pkg : m_packages) {
        CUniqueFd input(MemoryFileOf(pkg.payload));
        CProcessLauncher::Options options;
        options.dirFd = target;
        options.input = input.get();
        const int status = input.get() < 0
                               ? -1
                               : CProcessLauncher::Run({TarProgram(), "-xzf", "-",
                                                        "--no-same-owner", "--no-same-permissions"},
                                                       options);
        if (status != 0) {
            error = "package '" + pkg.name + "' does not unpack";
            return false;
        }
    }
    return true;
}

CPackageInstaller::EResult CPackageInstaller::Refuse(const std::string& reason) {
    Log("update refused, installation unchanged: " + reason);
    // Without this the next client start would hand the same packages over again, forever.
    ClearDownloads();
    StartMainProgram(false);
    return REFUSED;
}

CPackageInstaller::EResult CPackageInstaller::EndBadArgument(const std::string& reason) {
    Log("update refused, installation unchanged: the argument was refused: " + reason);
    ClearDownloads();
    StartMainProgram(false);
    return BAD_ARGUMENT;
}

void CPackageInstaller::EndUnsafe() {
    m_bLogFile = false;
    std::string unused;
    if (PathsSafe({"", "Quorra", kOwnDownloads}, "") && OpenDownloads(unused)) {
        // unlinkat never follows a link at the name, and the folders above it are safe.
        if (unlinkat(m_download.get(), "update.xml", 0) != 0 && errno != ENOENT)
            Log("cannot remove the download list: " + std::string(std::strerror(errno)));
    }
    if (PathsSafe({""}, m_args.mainProgram))
        StartMainProgram(false);
    else
        Log("the " + m_args.mainProgram + " of this installation is not started as it stands");
}

// Holds the installation folder when the named paths of it pass the check.
bool CPackageInstaller::PathsSafe(const std::vector<std::string>& folders,
                                  const std::string& file) {
    CInstallationCheck check(m_args.installDir);
    for (const std::string& folder : folders)
        check.Add(folder, CInstallationCheck::EK_FOLDER);
    if (!file.empty())
        check.Add(file, CInstallationCheck::EK_FILE);
    if (!check.Check())
        return false;
    if (m_install.get() < 0)
        m_install.Reset(check.TakeFolder());
    return true;
}

void CPackageInstaller::ClearDownloads() {
    if (m_download.get() < 0) {
        std::string unused;
        if (m_install.get() < 0 || !OpenDownloads(unused))
            return;
    }
    // Relative to the folder opened at the start and never through a link: in a user's folder,
    // root removes only what lies in it.
    CHeldFolder::Clear(m_download.get());
}

// The client hands over and exits; a new one started before the old has gone would find it
// still running and give up.
void CPackageInstaller::WaitForOldClient() {
    if (m_bOldGone)
        return;
    m_bOldGone = true;
    CXMLOpt record;
    if (!record.LoadFile(m_args.recordFile.c_str()))
        return;
    const pid_t old = static_cast<pid_t>(std::atol(record.GetValue("ClientPID").c_str()));
    if (old > 1 && old != getpid() && !CProcessLauncher::WaitGone(old, oldClientWaitMs))
        Log("the previous client (pid " + std::to_string(old) + ") is still running");
}

bool CPackageInstaller::StartMainProgram(bool checkStarted) {
    // A client started while the one that handed over is still on its way out would take it for
    // a running copy and end at once.
    WaitForOldClient();
    CProcessLauncher::Options options;
    options.dirFd = m_install.get();
    options.programDir = m_install.get();
    options.newSession = true;
    // The window is the desktop user's: root starts it again only when root asked for the
    // update without pkexec.
    if (m_args.invoker != 0 && !AsUser(m_args.invoker, options)) {
        Log("the user " + std::to_string(m_args.invoker) + " is unknown; " + m_args.mainProgram +
            " is not started");
        return false;
    }
    const pid_t pid =
        m_install.get() < 0 ? -1 : CProcessLauncher::Start({m_args.mainProgram}, options);
    if (pid < 0) {
        Log("cannot start " + m_args.installDir + "/" + m_args.mainProgram);
        return false;
    }
    int status = 0;
    if (!CProcessLauncher::WaitChild(pid, checkStarted ? startGraceMs : 0, status))
        return true;  // still running: started
    return !checkStarted || (WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
