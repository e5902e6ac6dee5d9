// CInstallerArgs: what the installer learns from its one argument.
//
// The client passes "<conf>...<updateDir>DIR/</updateDir>...<downloadDir>DIR/Quorra/AutoSetupAuth/
// </downloadDir><mainProgram>client</mainProgram><recordFile>DIR/conf/client.xml</recordFile>
// ...</conf>" and starts the installer in the download folder. When the argument is empty (the
// client could not read conf/conf.xml) the folders are derived from that working directory.
// Started through pkexec by a desktop user (invoker), the download folder may instead be one of
// that user's own; the installer then accepts it only as CPackageInstaller describes.
#pragma once

#include <sys/types.h>

#include <string>

class CInstallerArgs {
public:
    // False with a reason when the argument is malformed, names relative or mismatched folders,
    // or an unsafe program name. Set invoker first: without one the download folder must be the
    // installation's own.
    bool Parse(const std::string& argument, const std::string& workDir, std::string& error);

    std::string installDir;   // without a trailing "/"
    std::string downloadDir;  // with a trailing "/"
    std::string mainProgram = "client";
    std::string recordFile;
    std::string version;
    uid_t invoker = 0;         // the desktop user pkexec names (PKEXEC_UID); 0 for none
    bool ownDownloads = true;  // the download folder is the installation's own

    // The user named by PKEXEC_UID, 0 when it is unset or not a plain user id.
    static uid_t InvokerFromEnvironment();
};
