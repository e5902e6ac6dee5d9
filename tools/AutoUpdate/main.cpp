// AutoUpdate: the installer the client hands over to when an update is downloaded.
//
// Usage: AutoUpdate [ARGUMENT]   (started by the client in the download folder, or through
// pkexec by an unprivileged client whose download folder the argument names)
// Exit status: 0 installed, 1 refused (installation unchanged), 2 bad argument, 3 undone,
// 4 built for a package's layout, which only the package manager changes (nothing touched),
// 78 the installation could be changed by another user (nothing installed).
// Whatever the status, the download list is gone afterwards and the client runs again, where
// that is safe (see CPackageInstaller).
#include "CHandOverCheck.h"
#include "CInstallationCheck.h"
#include "CInstallerArgs.h"
#include "CPackageInstaller.h"
#include "CSimpleFile.h"
#include "CUniqueFd.h"

#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
#if ORVANE_PACKAGE_LAYOUT
    // Not even the download list is removed: nothing of a package's installation is this
    // program's to change.
    (void)argc;
    (void)argv;
    std::fprintf(stderr, "AutoUpdate: %s\n", CPackageInstaller::kPackageManagedText);
    return CPackageInstaller::kPackageManaged;
#else
    umask(022);
    const std::string workDir = CSimpleFile::WorkingDirectory();
    CInstallerArgs args;
    args.invoker = CInstallerArgs::InvokerFromEnvironment();
    std::string error = "one argument at most";
    const bool argumentOk = argc <= 2 && args.Parse(argc > 1 ? argv[1] : "", workDir, error);
    if (!argumentOk) {
        std::fprintf(stderr, "AutoUpdate: %s\n", error.c_str());
        // The client starts the installer in its download folder, which names the installation
        // to take the hand-over back from.
        args = CInstallerArgs();
        args.invoker = CInstallerArgs::InvokerFromEnvironment();
        std::string unused;
        if (!args.Parse("", workDir, unused))
            return CPackageInstaller::BAD_ARGUMENT;
    }
    // The installer runs as root and trusts the release key, the stores and the downloads it
    // finds in the installation: it installs only in one that nobody else can change.
    std::vector<std::string> problems;
    CPackageInstaller installer(args);
    CUniqueFd folder;
    if (!CHandOverCheck::InstallationIsSafe(args.installDir, args.mainProgram, problems, &folder)) {
        for (const std::string& line : problems)
            std::fprintf(stderr, "AutoUpdate: %s\n", line.c_str());
        installer.EndUnsafe();
        return CInstallationCheck::kExitStatus;
    }
    // From here on the installation is this descriptor, never the path text again.
    installer.Hold(folder.Release());
    if (!argumentOk)
        return installer.EndBadArgument(error);
    return installer.Run();
#endif
}
