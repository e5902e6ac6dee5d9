// CAutoUpdate: keeps the installation up to date from the update server.
//
// Each time the service reports the machine ready to log on, RunUpdate asks the update server
// which packages exist, records them in the download list, downloads the pending ones into the
// download folder D ("<working directory>/Quorra/AutoSetupAuth/") and, once every package is in,
// copies the installer "AutoUpdate" from the working directory into D. A package whose listed
// size the installer would refuse is not downloaded, and a download stops at the listed size. At
// the next start CheckInstall sees the complete download, starts the installer from D and tells the
// caller to exit so that the installer can replace the programs.
//
// A window of a desktop user downloads into a folder of that user's instead (see CUserPlaces) and
// hands over through pkexec, which asks for an administrator's password and runs the
// installation's own installer as root; the argument then names the user's folder.
//
// Nothing here runs a shell: files are removed and copied with file-system calls and the installer
// is started with fork/exec, its argument one argv entry. Values sent to the server are
// percent-encoded; package names that could leave D are refused.
//
// Threads: RunUpdate runs on the client's pipe message thread, CheckInstall on the main thread
// before any other thread exists. One object is used by one thread at a time.
#pragma once

#include "CAutoString.h"
#include "CDownloadList.h"

#include <cstdint>

class CXMLOpt;

class CAutoUpdate {
public:
    // Works on the current working directory.
    CAutoUpdate();
    // Works on workDir (tests, and callers that already know the directory). downloadDir (ending
    // with "/"): a folder of this user's outside the installation, for a client that is not
    // root; null for the installation's own download folder.
    explicit CAutoUpdate(const char* workDir, const char* downloadDir = nullptr);

    // Where the hand-over of a desktop user's window finds pkexec.
    static constexpr const char* kPkexec = "/usr/bin/pkexec";

    // The start-up check: true when the installer was started and the client must exit. A
    // complete download is handed over only when the installer will not refuse it at once (its
    // argument, the installation and the release key pass the installer's own check).
    bool CheckInstall();
    // One update run: up to three query attempts, none without a release key installed. Returns
    // 0, or -1 when the download folder cannot be prepared or the answer cannot be recorded.
    int RunUpdate();

    // The installer's one argument (empty when "conf/conf.xml" cannot be read).
    CAutoString BuildInstallerArgument() const;
    // The query URL built from the information center's values (the version the installer
    // recorded when that is newer); empty without "FUN_Update".
    CAutoString BuildQueryUrl();
    const CAutoString& DownloadDir() const { return m_strDownDir; }
    const CAutoString& LastAnswer() const { return m_strResponse; }

    // Replaces the old lists in the download folder (which must exist) by the server's answer:
    // the answer is kept as "install.xml" and each package with a safe name is recorded in the
    // download list; an item refused before stays refused while the answer lists it the same
    // way. Returns the number of packages, -1 when the lists cannot be replaced.
    int RecordAnswer(const CAutoString& answer);

    // The update address inside a "FUN_Update" value: the text between its first two double
    // quotes, or the whole value when it holds none.
    static CAutoString UpdateUrlFrom(const char* funUpdate);
    // Every byte but the unreserved ones (RFC 3986) as %XX.
    static CAutoString PercentEncode(const char* text);

private:
    // FAILED: the query failed (pause, then try again); AGAIN: the list is not complete yet
    // (try again at once); DONE: the run ends; ERROR: the run ends with -1.
    enum EQuery { QUERY_FAILED, QUERY_AGAIN, QUERY_DONE, QUERY_ERROR };
    EQuery Attempt();
    // The version named to the update server: service's, or the installer's newer record.
    CAutoString AnnouncedVersion(const CAutoString& service) const;
    bool PrepareDownloadDir();
    int RecordPackage(const CAutoString& pkgxml);
    void RecordFileEntry(CXMLOpt& pkg, const char* tag, const CAutoString& name);
    int RecordFreshList(const CAutoString& answer);
    CDownloadList::EFetch Fetch(const CAutoString& name, const CAutoString& url, int64_t size,
                                CAutoString& localPath);
    void ClearDownloadDir();
    // Copies the installer into D; false when it is not there whole.
    bool PlaceInstaller();
    bool StartInstaller(const CAutoString& argument);
    // The desktop user's hand-over: pkexec <installation>/AutoUpdate ARGUMENT.
    bool StartInstallerAsAdministrator(const CAutoString& argument);
    // What the installer will check (CHandOverCheck); for a user's download folder also that
    // the folder and the installer copy in it are this user's alone.
    bool ReadyToHandOver(const CAutoString& argument);
    CAutoString InDownloadDir(const char* name) const { return m_strDownDir + name; }

    CAutoString m_strWorkDir;
    CAutoString m_strDownDir;      // ends with "/"
    bool m_bUserDownload = false;  // m_strDownDir is the user's, outside the installation
    CAutoString m_strUpdateUrl;    // from "FUN_Update" at the last run
    CAutoString m_strResponse;     // the server's last answer
};
