// CPackageInstaller: installs the packages the client downloaded, or refuses them.
//
// A run: open the download folder; read the download list and every package once into memory
// (capped); check each package's bytes (size and MD5 against the list, signature against the
// release key in conf/, signed version newer than the installed one); unpack those bytes into a
// staging folder inside the installation; make sure the installation is still the folder that was
// checked; move the files into place (CFileSwap); empty the download folder; start the main program
// again and keep the replaced files until it has started, undoing the change when it does not
// start. Any refusal happens before the installation is touched.
//
// Every name is resolved from folder descriptors held from the installation check (CHeldFolder),
// never from the path texts, which a user owning a folder above could redirect by a rename.
// Started through pkexec, the download folder may be the desktop user's own: it is accepted only
// when it and every folder above it belong to root or that user and are writable by no one else,
// and nothing in it is ever followed through a link or opened twice.
//
// Every ending takes the hand-over back (the download folder is emptied, so the next client start
// does not hand the same packages over again, at every start) and starts the main program again,
// as the desktop user when pkexec named one, so the user is never left without a window.
//
// The installed version is the larger of conf/conf.xml's "version" (1000 without one) and the
// record conf/installed-version, which only the installer writes: the running service keeps
// conf/conf.xml in memory and rewrites the whole file from there, so a version written into it
// while the service runs would be undone by the service's next write, and the same package
// could then be installed again. A version that is not a number is refused, never guessed at.
//
// Runs as root in its own process; one object per run.
#pragma once

#include "CHandOverCheck.h"
#include "CInstallerArgs.h"
#include "CUniqueFd.h"

#include <cstdint>
#include <string>
#include <vector>

class CFileSwap;

class CPackageInstaller {
public:
    enum EResult { INSTALLED = 0, REFUSED = 1, BAD_ARGUMENT = 2, ROLLED_BACK = 3 };
    // The exit status of an installer built for a package's layout (ORVANE_PACKAGE_LAYOUT): it
    // refuses at once and touches nothing, as the package manager owns every installed file.
    static constexpr int kPackageManaged = 4;
    static constexpr const char* kPackageManagedText =
        "this installation belongs to the package manager: install new versions with apt";

    explicit CPackageInstaller(CInstallerArgs args) : m_args(std::move(args)) {}

    // The installation folder as the check held it; Run and the endings use nothing else.
    void Hold(int installation) { m_install.Reset(installation); }
    EResult Run();
    // The ending for an argument that was refused (m_args then come from the download folder the
    // installer runs in): nothing is installed, the hand-over is taken back, the client restarted.
    EResult EndBadArgument(const std::string& reason);
    // The ending for an installation that others could change: nothing in it is changed or run as
    // root, save two things where no one else can turn them against root: the download list goes
    // when its folders are safe, and the main program starts again when it and the installation
    // folder are, so that it can tell the user what to mend. Writes no log file.
    void EndUnsafe();

    // The largest package and download list the installer reads into memory.
    static constexpr long long kMaxPackageBytes = CHandOverCheck::kMaxPackageBytes;
    static constexpr size_t kMaxListBytes = 1 << 20;

    // How long the new main program must stay up (or end with status 0) to count as started,
    // and how long to wait for the old client to leave first.
    int startGraceMs = 3000;
    int oldClientWaitMs = 10000;

private:
    struct Package {
        std::string name;
        std::string payload;
        uint64_t version = 0;
    };
    bool OpenDownloads(std::string& error);
    bool ReadList(std::string& error);
    bool ReadPackage(Package& pkg, const std::string& md5, long long size, std::string& error);
    // The package bytes as read, once: size and MD5 as listed, signature by the release key.
    bool VerifyPackageBytes(Package& pkg, const std::string& bytes, const std::string& md5,
                            long long size, std::string& error);
    bool Unpack(int target, std::string& error);
    EResult Install(const std::string& staging, std::string& error);
    bool CheckVersions(std::string& error);
    bool InstalledVersion(uint64_t& version, std::string& error);
    bool RecordVersion(const std::string& text);
    bool ApplyWithVersion(CFileSwap& swap, std::string& error);
    EResult Refuse(const std::string& reason);
    void ClearDownloads();
    void WaitForOldClient();
    bool PathsSafe(const std::vector<std::string>& folders, const std::string& file);
    bool StartMainProgram(bool checkStarted);
    void Log(const std::string& line);

    CInstallerArgs m_args;
    CUniqueFd m_install;   // the installation folder (O_PATH)
    CUniqueFd m_download;  // the download folder (O_PATH), once opened
    std::vector<Package> m_packages;
    bool m_bLogFile = true;     // false: log lines go to standard error only
    bool m_bOldGone = false;    // the client that handed over has been waited for
    uint64_t m_newVersion = 0;  // the newest version among the packages
    std::string m_oldRecord;    // conf/installed-version before the run ("" when there was none)
    bool m_bHadRecord = false;
};
