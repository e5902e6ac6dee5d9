// AutoUpdate: the installer the client hands over to when an update is downloaded.
//
// Usage: AutoUpdate [ARGUMENT]   (started by the client in the download folder)
// Exit status: 0 installed, 1 refused (installation unchanged), 2 bad argument, 3 undone,
// 78 the installation could be changed by another user (nothing touched).
#include "CInstallationCheck.h"
#include "CInstallerArgs.h"
#include "CPackageInstaller.h"
#include "CSimpleFile.h"

#include <sys/stat.h>

#include <cstdio>
#include <string>

namespace {

// The installer runs as root and trusts the release key, the stores and the downloads it finds
// in the installation: it works only in one that nobody else can change.
bool InstallationIsSafe(const CInstallerArgs& args) {
    CInstallationCheck check(args.installDir);
    check.Add("", CInstallationCheck::EK_FOLDER);
    check.Add("conf", CInstallationCheck::EK_FOLDER);
    check.Add("conf/release.pub", CInstallationCheck::EK_FILE);
    check.Add("conf/conf.xml", CInstallationCheck::EK_FILE);
    check.Add("conf/client.xml", CInstallationCheck::EK_FILE);
    check.Add("Log", CInstallationCheck::EK_FOLDER);
    check.Add("Log/AutoUpdate.log", CInstallationCheck::EK_FILE);
    check.Add("Quorra", CInstallationCheck::EK_FOLDER);
    check.Add("Quorra/AutoSetupAuth", CInstallationCheck::EK_FOLDER);
    if (check.Check())
        return true;
    for (const std::string& line : check.Problems())
        std::fprintf(stderr, "AutoUpdate: %s\n", line.c_str());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    umask(022);
    CInstallerArgs args;
    std::string error;
    const std::string argument = argc > 1 ? argv[1] : "";
    if (argc > 2 || !args.Parse(argument, CSimpleFile::WorkingDirectory(), error)) {
        std::fprintf(stderr, "AutoUpdate: %s\n", argc > 2 ? "one argument at most" : error.c_str());
        return CPackageInstaller::BAD_ARGUMENT;
    }
    if (!InstallationIsSafe(args))
        return CInstallationCheck::kExitStatus;
    CPackageInstaller installer(args);
    return installer.Run();
}
