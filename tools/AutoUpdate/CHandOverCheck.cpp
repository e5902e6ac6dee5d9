#include "CHandOverCheck.h"

#include "CInstallationCheck.h"
#include "CInstallerArgs.h"
#include "CPackageSignature.h"
#include "CUniqueFd.h"

#include <unistd.h>

void CHandOverCheck::AddTrustedPaths(CInstallationCheck& check, const std::string& mainProgram) {
    for (const char* folder : {"", "conf", "Log", "Quorra", "Quorra/AutoSetupAuth"})
        check.Add(folder, CInstallationCheck::EK_FOLDER);
    for (const char* file : {"conf/release.pub", kVersionRecord, "conf/conf.xml", "conf/client.xml",
                             "Log/AutoUpdate.log", "Quorra/AutoSetupAuth/AutoUpdate"})
        check.Add(file, CInstallationCheck::EK_FILE);
    check.Add(mainProgram, CInstallationCheck::EK_FILE);
}

bool CHandOverCheck::InstallationIsSafe(const std::string& installDir,
                                        const std::string& mainProgram,
                                        std::vector<std::string>& problems, CUniqueFd* folder) {
    CInstallationCheck check(installDir);
    AddTrustedPaths(check, mainProgram);
    if (check.Check()) {
        if (folder != nullptr)
            folder->Reset(check.TakeFolder());
        return true;
    }
    problems.insert(problems.end(), check.Problems().begin(), check.Problems().end());
    return false;
}

bool CHandOverCheck::HasReleaseKey(const std::string& installDir, std::string& why) {
    const std::string key = installDir + "/conf/release.pub";
    if (CPackageSignature::IsPublicKey(key))
        return true;
    why = "no release key installed (" + key +
          " holds no Ed25519 public key), so every update "
          "would be refused";
    return false;
}

bool CHandOverCheck::ReadyToHandOver(const std::string& argument, const std::string& downloadDir,
                                     std::vector<std::string>& reasons) {
    CInstallerArgs args;
    // The installer learns the same user from pkexec that runs this client.
    args.invoker = geteuid();
    std::string error;
    if (!args.Parse(argument, downloadDir, error)) {
        reasons.push_back("the installer's argument would be refused: " + error);
        return false;
    }
    const size_t before = reasons.size();
    InstallationIsSafe(args.installDir, args.mainProgram, reasons);
    if (!HasReleaseKey(args.installDir, error))
        reasons.push_back(error);
    return reasons.size() == before;
}
