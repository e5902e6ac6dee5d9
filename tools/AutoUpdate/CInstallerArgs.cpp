#include "CInstallerArgs.h"

#include "CXMLOpt.h"

#include <cerrno>
#include <cstdlib>

namespace {

const char kDownloadSuffix[] = "/Quorra/AutoSetupAuth";

std::string WithoutTrailingSlashes(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir;
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

bool CInstallerArgs::Parse(const std::string& argument, const std::string& workDir,
                           std::string& error) {
    std::string download;
    if (argument.empty()) {
        download = WithoutTrailingSlashes(workDir);
        if (!EndsWith(download, kDownloadSuffix)) {
            error = "no argument, and not started in a download folder: " + workDir;
            return false;
        }
        installDir = download.substr(0, download.size() - (sizeof kDownloadSuffix - 1));
    } else {
        CXMLOpt conf(argument.c_str());
        if (!conf.IsWellFormed()) {
            error = "the argument is not well-formed XML";
            return false;
        }
        installDir = WithoutTrailingSlashes(conf.GetValue("updateDir").ToStdString());
        download = WithoutTrailingSlashes(conf.GetValue("downloadDir").ToStdString());
        const std::string program = conf.GetValue("mainProgram").ToStdString();
        if (!program.empty())
            mainProgram = program;
        recordFile = conf.GetValue("recordFile").ToStdString();
        version = conf.GetValue("version").ToStdString();
    }
    // The download folder is the installation's own, or (through pkexec) one of the desktop user
    // who started the installer; anything else is refused, so an argument cannot point the
    // installer at files elsewhere.
    ownDownloads = download == installDir + kDownloadSuffix;
    // A user's own folder is judged when it is opened; here only its form.
    const bool userDownloads = invoker != 0 && !download.empty() && download[0] == '/' &&
                               download.find("/../") == std::string::npos;
    if (installDir.empty() || installDir[0] != '/' || (!ownDownloads && !userDownloads)) {
        error = "the installation '" + installDir + "' and download folder '" + download +
                "' do not belong together";
        return false;
    }
    if (mainProgram.find('/') != std::string::npos || mainProgram.find("..") != std::string::npos) {
        error = "unsafe main program name";
        return false;
    }
    if (recordFile.empty())
        recordFile = installDir + "/conf/client.xml";
    downloadDir = download + "/";
    return true;
}

uid_t CInstallerArgs::InvokerFromEnvironment() {
    const char* text = std::getenv("PKEXEC_UID");
    if (text == nullptr || *text < '0' || *text > '9')
        return 0;
    char* end = nullptr;
    errno = 0;
    const unsigned long uid = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || uid == 0 || uid >= 0xFFFFFFFFul)
        return 0;
    return static_cast<uid_t>(uid);
}
