// CHandOverCheck: what the installer demands before it touches an installation, in one place so
// that the client asks exactly the same before it hands over. A client that hands over to an
// installer which then refuses at once would do so at every start and never show its window.
//
// Reads only; no state. Used by the installer's main and by the client's start-up.
#pragma once

#include <string>
#include <vector>

class CInstallationCheck;
class CUniqueFd;

class CHandOverCheck {
public:
    // The largest package the installer takes; the client refuses a larger listed size before
    // downloading anything. No package of ours comes near it.
    static constexpr long long kMaxPackageBytes = 256LL << 20;
    // The installer's record of the version it installed last (relative to the installation),
    // readable by all: the client names that version to the update server.
    static constexpr char kVersionRecord[] = "conf/installed-version";

    // The paths of an installation that the installer, running as root, trusts (relative): the
    // folder, conf/ with both stores, the release key and the installed version's record, Log/ with
    // the installer's own log, the download folders with the installer copy in them, and
    // mainProgram, which it starts again.
    static void AddTrustedPaths(CInstallationCheck& check, const std::string& mainProgram);
    // True when every trusted path of installDir passes the installation check; otherwise
    // problems gets one line per wrong path with the command that mends it. On success folder
    // (when given) holds the installation folder the check walked to.
    static bool InstallationIsSafe(const std::string& installDir, const std::string& mainProgram,
                                   std::vector<std::string>& problems, CUniqueFd* folder = nullptr);
    // True when installDir/conf/release.pub holds an Ed25519 public key, without which every
    // package is refused; why says what is wrong otherwise.
    static bool HasReleaseKey(const std::string& installDir, std::string& why);
    // Everything the installer checks before it reads a package, for an installer started with
    // argument in downloadDir: the argument, the installation and the release key. False with one
    // line per reason.
    static bool ReadyToHandOver(const std::string& argument, const std::string& downloadDir,
                                std::vector<std::string>& reasons);
};
