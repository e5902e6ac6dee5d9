#include "CAutoUpdate.h"

#include "CCurlHttp.h"
#include "CDetachedProcess.h"
#include "CDownloadList.h"
#include "CFileUtil.h"
#include "CHandOverCheck.h"
#include "CHttpData.h"
#include "CInfoCenter.h"
#include "CInstallationCheck.h"
#include "CMarkup.h"
#include "CPackageSignature.h"
#include "CSimpleFile.h"
#include "CUniqueFd.h"
#include "CXMLOpt.h"
#include "CommFunc.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int kAttempts = 3;
constexpr unsigned int kRetryPauseMs = 5;
constexpr uint64_t kTimeoutMs = 15000;

const char kInstallerArgument[] =
    "<conf><version>%s</version><updateInstId>UpdateInst_B5FF888E-C6EB-4a14-A3FD-622D682077A8"
    "</updateInstId><decompressDir>%s/decompress/</decompressDir><updateDir>%s/</updateDir>"
    "<mainProgram>client</mainProgram><mainProgramWnd></mainProgramWnd><mainProgramId>"
    "CInstanceChecker_JSP_78CF29B3-6CF6-47a4-85AF-1E584B8EBD1D</mainProgramId><backupPath>"
    "</backupPath><recordFile>%s/conf/client.xml</recordFile><updateType>0</updateType>"
    "<downloadDir>%s</downloadDir><imgDir></imgDir></conf>";

bool Readable(const CAutoString& path) {
    return access(path.c_str(), R_OK) == 0;
}

}  // namespace

CAutoUpdate::CAutoUpdate() : CAutoUpdate(CSimpleFile::WorkingDirectory().c_str()) {}

CAutoUpdate::CAutoUpdate(const char* workDir, const char* downloadDir)
    : m_strWorkDir(workDir ? workDir : ""), m_bUserDownload(downloadDir != nullptr) {
    m_strDownDir =
        downloadDir != nullptr ? CAutoString(downloadDir) : m_strWorkDir + "/Quorra/AutoSetupAuth/";
}

// ---- Start-up check ---------------------------------------------------------------------------

bool CAutoUpdate::CheckInstall() {
    if (!CFileUtil::IfExistFile(InDownloadDir("AutoUpdate")) ||
        !Readable(InDownloadDir("install.xml")) || !Readable(InDownloadDir("update.xml")))
        return false;
    if (CDownloadList(InDownloadDir("update.xml")).Check() != CDownloadList::LIST_COMPLETE)
        return false;
    const CAutoString argument = BuildInstallerArgument();
    if (!ReadyToHandOver(argument))
        return false;
    return m_bUserDownload ? StartInstallerAsAdministrator(argument) : StartInstaller(argument);
}

// An installer that refuses at once would be handed over to again at every start. The download
// stays for when the reason is mended.
bool CAutoUpdate::ReadyToHandOver(const CAutoString& argument) {
    std::vector<std::string> reasons;
    if (!m_bUserDownload) {
        CHandOverCheck::ReadyToHandOver(argument.ToStdString(), m_strDownDir.ToStdString(),
                                        reasons);
    } else {
        // The installer reads this user's folder itself; the client asks what it asks of the
        // installation and that nobody but this user could have changed the download.
        std::string why;
        CHandOverCheck::InstallationIsSafe(m_strWorkDir.ToStdString(), "client", reasons);
        if (!CHandOverCheck::HasReleaseKey(m_strWorkDir.ToStdString(), why))
            reasons.push_back(why);
        CInstallationCheck own(m_strDownDir.ToStdString());
        own.Add("", CInstallationCheck::EK_FOLDER);
        for (const char* file : {"AutoUpdate", "install.xml", "update.xml"})
            own.Add(file, CInstallationCheck::EK_FILE);
        if (!own.Check())
            reasons.insert(reasons.end(), own.Problems().begin(), own.Problems().end());
    }
    for (const std::string& reason : reasons)
        std::printf("the update waits: %s\n", reason.c_str());
    return reasons.empty();
}

CAutoString CAutoUpdate::BuildInstallerArgument() const {
    CXMLOpt conf;
    if (!conf.LoadFile(m_strWorkDir + "/conf/conf.xml"))
        return CAutoString("");
    CAutoString version = conf.GetValue("version");
    if (version.IsEmpty())
        version = "1000";
    // The installer reads the argument as XML, so the folder names are escaped.
    const CAutoString dir = CMarkup::EscapeText(m_strWorkDir.c_str(), CMarkup::MNF_ESCAPEALL);
    CAutoString argument;
    const CAutoString download = CMarkup::EscapeText(m_strDownDir.c_str(), CMarkup::MNF_ESCAPEALL);
    argument.Format(kInstallerArgument, CMarkup::EscapeText(version, 0).c_str(), dir.c_str(),
                    dir.c_str(), dir.c_str(), download.c_str());
    return argument;
}

// Starts D/AutoUpdate in D as a grandchild in its own session, so that it outlives the client
// and leaves no zombie behind. A close-on-exec pipe tells whether the exec itself worked.
bool CAutoUpdate::StartInstaller(const CAutoString& argument) {
    const std::string program = InDownloadDir("AutoUpdate").ToStdString();
    const int result =
        CDetachedProcess::Start({program, argument.ToStdString()}, m_strDownDir.ToStdString(),
                                CDetachedProcess::kKeepUmask);
    if (result != 0)
        std::printf("cannot start the installer %s: %s\n", program.c_str(),
                    result > 0 ? std::strerror(result) : "fork failed");
    return result == 0;
}

// Detached like the service: the client ends at once, and pkexec asks for the password on the
// user's display and then runs the installation's own installer (never the copy in the user's
// folder) as root.
bool CAutoUpdate::StartInstallerAsAdministrator(const CAutoString& argument) {
    if (access(kPkexec, X_OK) != 0) {
        std::printf("cannot hand over to the installer: %s is missing (Debian package pkexec)\n",
                    kPkexec);
        return false;
    }
    const std::string installer = (m_strWorkDir + "/AutoUpdate").ToStdString();
    // pkexec refuses a caller that has gone: its parent stays until the installer ends.
    const int result =
        CDetachedProcess::Start({kPkexec, installer, argument.ToStdString()},
                                m_strWorkDir.ToStdString(), CDetachedProcess::kKeepUmask, true);
    if (result != 0)
        std::printf("cannot start %s %s: %s\n", kPkexec, installer.c_str(),
                    result > 0 ? std::strerror(result) : "fork failed");
    return result == 0;
}

// ---- Update run -------------------------------------------------------------------------------

int CAutoUpdate::RunUpdate() {
    // Without the key every package would be refused, after a download that would be repeated
    // at every run.
    std::string why;
    if (!CHandOverCheck::HasReleaseKey(m_strWorkDir.ToStdString(), why)) {
        std::printf("no update: %s\n", why.c_str());
        return 0;
    }
    if (!PrepareDownloadDir())
        return -1;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        switch (Attempt()) {
            case QUERY_FAILED:
                Sleep(kRetryPauseMs);
                break;
            case QUERY_AGAIN:
                break;
            case QUERY_DONE:
                return 0;
            case QUERY_ERROR:
                return -1;
        }
    }
    return 0;
}

bool CAutoUpdate::PrepareDownloadDir() {
    CFileUtil::CreateDir(m_strDownDir);
    if (CFileUtil::IfExistDir(m_strDownDir))
        return true;
    std::printf("cannot create the download folder %s\n", m_strDownDir.c_str());
    return false;
}

CAutoUpdate::EQuery CAutoUpdate::Attempt() {
    const CAutoString url = BuildQueryUrl();
    if (m_strUpdateUrl.IsEmpty()) {
        std::printf("update url is null\n");
        return QUERY_FAILED;
    }
    CHttpData query(true);
    query.szUrl = url.c_str();
    query.szVerb = "GET";
    query.dwTimeOut = kTimeoutMs;
    query.bRedirect = true;
    // Anyone on the path could answer an unchecked https query with packages of their own.
    query.bVerifyPeer = true;
    if (CCurlHttp::Perform(&query) != 0)
        return QUERY_FAILED;
    m_strResponse = CAutoString(query.RespData(), static_cast<size_t>(query.dwDataLen));

    if (CFileUtil::DeleteFile(InDownloadDir("AutoUpdate.exe")) != 0)
        return QUERY_DONE;
    const int packages = RecordAnswer(m_strResponse);
    if (packages < 0)
        return QUERY_ERROR;
    if (packages == 0) {
        ClearDownloadDir();
        return QUERY_DONE;
    }
    CDownloadList list(InDownloadDir("update.xml"));
    list.DownloadPending(
        [this](const CAutoString& name, const CAutoString& pkgUrl, int64_t size,
               CAutoString& localPath) { return Fetch(name, pkgUrl, size, localPath); },
        CHandOverCheck::kMaxPackageBytes);
    switch (list.Check()) {
        case CDownloadList::LIST_COMPLETE:
            if (!PlaceInstaller())
                std::printf("cannot copy the installer into %s\n", m_strDownDir.c_str());
            return QUERY_DONE;
        case CDownloadList::LIST_EMPTY:
        case CDownloadList::LIST_REFUSED:
            return QUERY_DONE;
        default:
            return QUERY_AGAIN;
    }
}

// The installer's presence in D makes the next start hand over to it, so it appears there only
// whole: a client killed while copying leaves a partial file under another name, never a
// truncated installer that the next start would run.
bool CAutoUpdate::PlaceInstaller() {
    const CAutoString partial = InDownloadDir("AutoUpdate.part");
    if (CFileUtil::CopyFile(m_strWorkDir + "/AutoUpdate", partial, false) == 0 &&
        rename(partial.c_str(), InDownloadDir("AutoUpdate").c_str()) == 0)
        return true;
    unlink(partial.c_str());
    return false;
}

CAutoString CAutoUpdate::BuildQueryUrl() {
    CInfoCenter* info = CInfoCenter::GetInst();
    m_strUpdateUrl = UpdateUrlFrom(info->GetValue("FUN_Update"));
    if (m_strUpdateUrl.IsEmpty())
        return CAutoString("");
    CAutoString url;
    url.Format("%s?keyword=(auto)&version=%s&clientid=%s&dialaccount=%s&cid=%s&",
               m_strUpdateUrl.c_str(),
               PercentEncode(AnnouncedVersion(info->GetValue("version"))).c_str(),
               PercentEncode(info->GetValue("clientId")).c_str(),
               PercentEncode(info->GetValue("account")).c_str(),
               PercentEncode(info->GetValue("schoolId")).c_str());
    return url;
}

// The service names conf/conf.xml's version until it starts again, which the installer never
// changes (the service would write it back): the installer's record of a newer version wins, or
// the server would offer the installed package again at every run.
CAutoString CAutoUpdate::AnnouncedVersion(const CAutoString& service) const {
    const std::string path = m_strWorkDir.ToStdString() + "/" + CHandOverCheck::kVersionRecord;
    CUniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    std::string text;
    if (fd.get() < 0 || !CSimpleFile::ReadAll(fd.get(), text))
        return service;
    text = text.substr(0, text.find('\n'));
    uint64_t recorded = 0, announced = 0;
    if (!CPackageSignature::ParseVersion(text, recorded) ||
        (CPackageSignature::ParseVersion(service.ToStdString(), announced) &&
         announced >= recorded))
        return service;
    return CAutoString(text);
}

// ---- Recording the answer ---------------------------------------------------------------------

int CAutoUpdate::RecordAnswer(const CAutoString& answer) {
    // What was refused stays refused while the server lists it the same way.
    const std::vector<std::string> refused = CDownloadList(InDownloadDir("update.xml")).Refused();
    const int packages = RecordFreshList(answer);
    if (packages > 0 && !CDownloadList(InDownloadDir("update.xml")).KeepRefused(refused))
        return -1;
    return packages;
}

int CAutoUpdate::RecordFreshList(const CAutoString& answer) {
    if (CFileUtil::DeleteFile(InDownloadDir("update.xml")) != 0 ||
        CFileUtil::DeleteFile(InDownloadDir("install.xml")) != 0)
        return -1;
    const CAutoString saved = InDownloadDir("install.xml");
    if (!CSimpleFile::WriteFileAtomic(saved, answer.c_str(), answer.GetLength())) {
        std::printf("save xml to %s failed!\n", saved.c_str());
        return -1;
    }
    CXMLOpt doc(answer.c_str());
    doc.ResetPos();
    if (!doc.FindElem("response") || !doc.IntoElem() || !doc.FindElem("pkgxmls")) {
        std::printf("response or pkgxmls not found.\n");
        return 0;
    }
    doc.IntoElem();
    int packages = 0;
    while (doc.FindElem("pkgxml"))
        packages += RecordPackage(doc.GetSubDoc());
    return packages;
}

int CAutoUpdate::RecordPackage(const CAutoString& pkgxml) {
    CXMLOpt pkg(pkgxml.c_str());
    pkg.ResetPos();
    if (!pkg.FindElem("pkgxml") || !pkg.IntoElem() || !pkg.FindElem("pkglist") || !pkg.IntoElem() ||
        !pkg.FindElem("pkg"))
        return 0;
    const CAutoString name = pkg.GetAttrib("name");
    if (!CDownloadList::IsSafeName(name)) {
        std::printf(
            "update package name refused: %zu bytes, it must be 1 to 64 without '/', "
            "'..' or control characters\n",
            static_cast<size_t>(name.GetLength()));
        return 0;
    }
    if (pkg.IntoElem() && pkg.FindElem("pfile")) {
        RecordFileEntry(pkg, "binfile", name);
        pkg.ResetChildPos();
        RecordFileEntry(pkg, "exefile", name);
    }
    return 1;
}

void CAutoUpdate::RecordFileEntry(CXMLOpt& pkg, const char* tag, const CAutoString& name) {
    if (!pkg.FindChildElem(tag))
        return;
    const int64_t size = CDownloadList::ParseSize(pkg.GetChildAttrib("size").c_str());
    if (!CDownloadList(InDownloadDir("update.xml"))
             .Record(name, pkg.GetChildData(), pkg.GetChildAttrib("md5"), size))
        std::printf("cannot record package %s\n", name.c_str());
}

// ---- Downloads and clean-up -------------------------------------------------------------------

CDownloadList::EFetch CAutoUpdate::Fetch(const CAutoString& name, const CAutoString& url,
                                         int64_t size, CAutoString& localPath) {
    if (!CDownloadList::IsSafeName(name) || size <= 0)
        return CDownloadList::FETCH_FAILED;
    localPath = InDownloadDir(name) + ".tar.gz";
    CHttpData download(true);
    download.szUrl = url.c_str();
    download.szVerb = "GET";
    download.dwTimeOut = kTimeoutMs;
    download.bRedirect = true;
    download.bVerifyPeer = true;
    download.dwMaxFileBytes = static_cast<uint64_t>(size);
    if (CCurlHttp::downLoad(&download, localPath))
        return CDownloadList::FETCH_DONE;
    if (!download.bFileTooLarge)
        return CDownloadList::FETCH_FAILED;
    // Not the package the answer listed; what came is of no use to a later run either.
    std::printf("update package %s refused: the server sent more than its listed %lld bytes\n",
                name.c_str(), static_cast<long long>(size));
    unlink(localPath.c_str());
    return CDownloadList::FETCH_REFUSED;
}

void CAutoUpdate::ClearDownloadDir() {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(m_strDownDir.c_str(), ec)) {
        std::error_code removeError;
        // remove_all takes links away without following them.
        std::filesystem::remove_all(entry.path(), removeError);
        if (removeError)
            std::printf("cannot remove %s: %s\n", entry.path().c_str(),
                        removeError.message().c_str());
    }
}

// ---- Text helpers -----------------------------------------------------------------------------

CAutoString CAutoUpdate::UpdateUrlFrom(const char* funUpdate) {
    if (funUpdate == nullptr)
        return CAutoString("");
    const char* first = std::strchr(funUpdate, '"');
    if (first == nullptr)
        return CAutoString(funUpdate);
    const char* second = std::strchr(first + 1, '"');
    if (second == nullptr)
        return CAutoString(first + 1);
    return CAutoString(first + 1, static_cast<size_t>(second - first - 1));
}

CAutoString CAutoUpdate::PercentEncode(const char* text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char* p = text ? text : ""; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return CAutoString(out);
}
