// CPackageInstaller: installs the packages the client downloaded, or refuses them.
//
// A run: read the download list; check every package's size and MD5 against the list, its
// signature against the release key in conf/ and its signed version against the installed one
// (only a newer package is taken); unpack the payloads into a staging folder inside
// the installation; move the files into place (CFileSwap); empty the download folder; start the
// main program again and keep the replaced files until it has started, undoing the change when it
// does not start. Any refusal happens before the installation is touched.
//
// Every ending takes the hand-over back (the download folder is emptied, so the next client start
// does not hand the same packages over again, at every start) and starts the main program again,
// so the user is never left without a window.
//
// The installed version is the larger of conf/conf.xml's "version" (1000 without one) and the
// record conf/installed-version, which only the installer writes: the running service keeps
// conf/conf.xml in memory and rewrites the whole file from there, so a version written into it
// while the service runs would be undone by the service's next write, and the same package
// could then be installed again. A version that is not a number is refused, never guessed at.
//
// Runs as root in its own process; one object per run.
#pragma once

#include "CInstallerArgs.h"

#include <cstdint>
#include <string>
#include <vector>

class CFileSwap;

class CPackageInstaller {
public:
    enum EResult { INSTALLED = 0, REFUSED = 1, BAD_ARGUMENT = 2, ROLLED_BACK = 3 };

    explicit CPackageInstaller(CInstallerArgs args) : m_args(std::move(args)) {}

    EResult Run();
    // The ending for an argument that was refused (m_args then come from the download folder the
    // installer runs in): nothing is installed, the hand-over is taken back, the client restarted.
    EResult EndBadArgument(const std::string& reason);
    // The ending for an installation that others could change: nothing in it is changed or run as
    // root, save two things where no one else can turn them against root: the download list goes
    // when its folders are safe, and the main program starts again when it and the installation
    // folder are, so that it can tell the user what to mend. Writes no log file.
    void EndUnsafe();

    // How long the new main program must stay up (or end with status 0) to count as started,
    // and how long to wait for the old client to leave first.
    int startGraceMs = 3000;
    int oldClientWaitMs = 10000;

private:
    struct Package {
        std::string name;
        std::string path;
        std::string payload;
        uint64_t version = 0;
    };
    bool ReadList(std::string& error);
    bool VerifyPackage(Package& pkg, const std::string& md5, long long size, std::string& error);
    bool CheckVersions(std::string& error);
    bool InstalledVersion(uint64_t& version, std::string& error);
    bool RecordVersion(const std::string& text);
    bool ApplyWithVersion(CFileSwap& swap, std::string& error);
    bool Unpack(const std::string& staging, std::string& error);
    EResult Refuse(const std::string& reason);
    void ClearDownloads();
    void WaitForOldClient();
    bool PathsSafe(const std::vector<std::string>& folders, const std::string& file) const;
    bool StartMainProgram(bool checkStarted);
    void Log(const std::string& line);

    CInstallerArgs m_args;
    std::vector<Package> m_packages;
    bool m_bLogFile = true;     // false: log lines go to standard error only
    bool m_bOldGone = false;    // the client that handed over has been waited for
    uint64_t m_newVersion = 0;  // the newest version among the packages
    std::string m_oldRecord;    // conf/installed-version before the run ("" when there was none)
    bool m_bHadRecord = false;
};
