#include "CPackageInstaller.h"
#include "CSimpleFile.h"

#include "CFileSwap.h"
#include "CHandOverCheck.h"
#include "CInstallationCheck.h"
#include "CPackageSignature.h"
#include "CProcessLauncher.h"
#include "CXMLOpt.h"

#include <fcntl.h>
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
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// Without a version of its own an installation counts as this one (as the client's argument).
const char kDefaultVersion[] = "1000";

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

bool ReadWhole(const std::string& path, std::string& data) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::ostringstream out;
    char block[65536];
    ssize_t got;
    while ((got = read(fd, block, sizeof block)) > 0)
        out.write(block, got);
    close(fd);
    data = out.str();
    return got == 0;
}

bool WriteNew(const std::string& path, const std::string& data) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    return close(fd) == 0 && done == data.size();
}

const char* TarProgram() {
    return access("/bin/tar", X_OK) == 0 ? "/bin/tar" : "/usr/bin/tar";
}

}  // namespace

void CPackageInstaller::Log(const std::string& line) {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(stamp, sizeof stamp, "%m-%d %H:%M:%S ", std::localtime(&now));
    std::fprintf(stderr, "AutoUpdate: %s\n", line.c_str());
    if (!m_bLogFile)
        return;
    // Started detached, the installer has no terminal: the log folder is where its word stays.
    const std::string logDir = m_args.installDir + "/Log";
    mkdir(logDir.c_str(), 0700);
    // Never through a link planted at the name: the installer runs as root.
    CSimpleFile log;
    if (log.CreateFile((logDir + "/AutoUpdate.log").c_str(), "a") == 0) {
        const std::string text = stamp + line + "\n";
        log.WriteFile(text.data(), text.size());
    }
}

CPackageInstaller::EResult CPackageInstaller::Run() {
    std::string error;
    if (!ReadList(error))
        return Refuse(error);
    const std::string staging = m_args.installDir + "/.update-XXXXXX";
    std::string made = staging;
    if (mkdtemp(made.data()) == nullptr)
        return Refuse("cannot make a staging folder in " + m_args.installDir);
    CFileSwap swap(m_args.installDir, made + "/new", made + "/old");
    const bool ready = Unpack(made, error) && swap.Check(error);
    std::error_code ec;
    if (!ready) {
        fs::remove_all(made, ec);
        return Refuse(error);
    }
    WaitForOldClient();
    if (!ApplyWithVersion(swap, error)) {
        fs::remove_all(made, ec);
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
        fs::remove_all(made, ec);
        Log("the new " + m_args.mainProgram + " did not start; the previous files are back");
        StartMainProgram(false);
        return ROLLED_BACK;
    }
    fs::remove_all(made, ec);
    return INSTALLED;
}

bool CPackageInstaller::ReadList(std::string& error) {
    CXMLOpt list;
    if (!list.LoadFile((m_args.downloadDir + "update.xml").c_str())) {
        error = "the download list cannot be read";
        return false;
    }
    list.ResetPos();
    if (!list.FindElem("update") || !list.IntoElem()) {
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
        if (!VerifyPackage(pkg, list.GetAttrib("md5").ToStdString(), size, error))
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
    CXMLOpt conf;
    std::string text;
    if (conf.LoadFile((m_args.installDir + "/conf/conf.xml").c_str()))
        text = conf.GetValue("version").ToStdString();
    if (text.empty())
        text = kDefaultVersion;
    if (!CPackageSignature::ParseVersion(text, version)) {
        error = "the installed version '" + text.substr(0, 32) + "' is not a number";
        return false;
    }
    m_bHadRecord = ReadWhole(m_args.installDir + "/" + CHandOverCheck::kVersionRecord, m_oldRecord);
    if (!m_bHadRecord) {
        m_oldRecord.clear();
        if (errno == ENOENT)
            return true;
        error = "conf/installed-version cannot be read: " + std::string(std::strerror(errno));
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
    const std::string path = m_args.installDir + "/" + CHandOverCheck::kVersionRecord;
    if (text.empty())
        return unlink(path.c_str()) == 0 || errno == ENOENT;
    return CSimpleFile::WriteFileAtomic(path.c_str(), text.data(), text.size()) &&
           chmod(path.c_str(), 0644) == 0;
}

bool CPackageInstaller::VerifyPackage(Package& pkg, const std::string& md5, long long size,
                                      std::string& error) {
    if (!IsSafeName(pkg.name)) {
        error = "unsafe package name in the download list";
        return false;
    }
    // The path comes from the name, never from the list's text, so it stays in the folder.
    pkg.path = m_args.downloadDir + pkg.name + ".tar.gz";
    struct stat st;
    if (lstat(pkg.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || size <= 0 ||
        size > CHandOverCheck::kMaxPackageBytes || st.st_size != size) {
        error = "package '" + pkg.name + "' has the wrong size or is missing";
        return false;
    }
    std::string data;
    if (!ReadWhole(pkg.path, data) || static_cast<long long>(data.size()) != size) {
        error = "package '" + pkg.name + "' cannot be read";
        return false;
    }
    std::string lowerMd5 = md5;
    for (char& c : lowerMd5)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (CPackageSignature::Md5Hex(data) != lowerMd5) {
        error = "package '" + pkg.name + "' does not match its MD5";
        return false;
    }
    std::string why;
    if (!CPackageSignature::Verify(m_args.installDir + "/conf/release.pub", data, pkg.payload,
                                   pkg.version, why)) {
        error = "package '" + pkg.name + "' refused: " + why;
        return false;
    }
    return true;
}

// Unpacks the verified payloads (never the files in the download folder, which could change
// after the check) in list order into staging/new.
bool CPackageInstaller::Unpack(const std::string& staging, std::string& error) {
    const std::string target = staging + "/new";
    if (mkdir(target.c_str(), 0755) != 0) {
        error = "cannot make " + target;
        return false;
    }
    for (size_t i = 0; i < m_packages.size(); ++i) {
        const std::string copy = staging + "/payload-" + std::to_string(i) + ".tar.gz";
        if (!WriteNew(copy, m_packages[i].payload)) {
            error = "cannot write " + copy;
            return false;
        }
        const int status = CProcessLauncher::Run(
            {TarProgram(), "-xzf", copy, "-C", target, "--no-same-owner", "--no-same-permissions"},
            staging);
        unlink(copy.c_str());
        if (status != 0) {
            error = "package '" + m_packages[i].name + "' does not unpack";
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
    if (PathsSafe({"", "Quorra", "Quorra/AutoSetupAuth"}, "")) {
        // unlink never follows a link at the name, and the folders above it are root's alone.
        if (unlink((m_args.downloadDir + "update.xml").c_str()) != 0 && errno != ENOENT)
            Log("cannot remove the download list: " + std::string(std::strerror(errno)));
    }
    if (PathsSafe({""}, m_args.mainProgram))
        StartMainProgram(false);
    else
        Log("the " + m_args.mainProgram + " of this installation is not started as it stands");
}

bool CPackageInstaller::PathsSafe(const std::vector<std::string>& folders,
                                  const std::string& file) const {
    CInstallationCheck check(m_args.installDir);
    for (const std::string& folder : folders)
        check.Add(folder, CInstallationCheck::EK_FOLDER);
    if (!file.empty())
        check.Add(file, CInstallationCheck::EK_FILE);
    return check.Check();
}

void CPackageInstaller::ClearDownloads() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(m_args.downloadDir, ec)) {
        std::error_code removeError;
        fs::remove_all(entry.path(), removeError);
    }
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
    const std::string program = m_args.installDir + "/" + m_args.mainProgram;
    const pid_t pid = CProcessLauncher::Start({program}, m_args.installDir, true);
    if (pid < 0) {
        Log("cannot start " + program);
        return false;
    }
    int status = 0;
    if (!CProcessLauncher::WaitChild(pid, checkStarted ? startGraceMs : 0, status))
        return true;  // still running: started
    return !checkStarted || (WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
