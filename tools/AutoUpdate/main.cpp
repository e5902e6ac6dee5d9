// AutoUpdate: the installer the client hands over to when an update is downloaded.
//
// Usage: AutoUpdate [ARGUMENT]   (started by the client in the download folder)
// Exit status: 0 installed, 1 refused (installation unchanged), 2 bad argument, 3 undone.
#include "CInstallerArgs.h"
#include "CPackageInstaller.h"
#include "CSimpleFile.h"

#include <sys/stat.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    umask(022);
    CInstallerArgs args;
    std::string error;
    const std::string argument = argc > 1 ? argv[1] : "";
    if (argc > 2 || !args.Parse(argument, CSimpleFile::WorkingDirectory(), error)) {
        std::fprintf(stderr, "AutoUpdate: %s\n", argc > 2 ? "one argument at most" : error.c_str());
        return CPackageInstaller::BAD_ARGUMENT;
    }
    CPackageInstaller installer(args);
    return installer.Run();
}
