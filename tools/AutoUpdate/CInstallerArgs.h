// CInstallerArgs: what the installer learns from its one argument.
//
// The client passes "<conf>...<updateDir>DIR/</updateDir>...<downloadDir>DIR/Quorra/AutoSetupAuth/
// </downloadDir><mainProgram>client</mainProgram><recordFile>DIR/conf/client.xml</recordFile>
// ...</conf>" and starts the installer in the download folder. When the argument is empty (the
// client could not read conf/conf.xml) the folders are derived from that working directory.
#pragma once

#include <string>

class CInstallerArgs {
public:
    // False with a reason when the argument is malformed, names relative or mismatched folders,
    // or an unsafe program name.
    bool Parse(const std::string& argument, const std::string& workDir, std::string& error);

    std::string installDir;   // without a trailing "/"
    std::string downloadDir;  // with a trailing "/"
    std::string mainProgram = "client";
    std::string recordFile;
    std::string version;
};
