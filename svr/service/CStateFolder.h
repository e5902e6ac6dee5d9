// CStateFolder: where a package installation's service keeps what it writes.
//
// A package's installation belongs to the package manager and is never written by the service;
// its store, log, resolver records and a renewed algorithm container live in a state folder of
// their own (the unit's StateDirectory=). The folder is judged by the installation check's rules
// (CInstallationCheck: a safe walk from "/", no link, owner root or this user, writable by no one
// else) for itself and every file the service writes in it, and is created (mode 0700) when it is
// missing. What the service needs there at first start is copied from the installation: the
// shipped store and the shipped algorithm container.
//
// Everything after Take goes through the held descriptor, never through the path text again.
// Used by one thread at a time.
#pragma once

#include "CUniqueFd.h"

#include <string>
#include <vector>

class CInstallationCheck;
class ISvrInfoCenter;

class CStateFolder {
public:
    // The files copied from the installation when the state folder lacks them.
    static constexpr const char* kSeededFiles[] = {"conf/conf.xml", "zuvUzarod.zxm"};

    // path: the absolute path of the state folder.
    explicit CStateFolder(std::string path);

    // The folder the service uses: configured, unless systemd names a folder in given
    // ($STATE_DIRECTORY) that is the same one written differently (trailing slashes). A given
    // folder that differs is not taken; note then says so (empty otherwise).
    static std::string Choose(const std::string& configured, const char* given, std::string& note);

    // Adds to check every path below the folder that the service writes: the folder itself,
    // conf/, Log/, the store, the resolver records, today's log (day "YYYYMMDD"), the two FIFOs
    // and the algorithm container.
    static void AddWrittenPaths(CInstallationCheck& check, const std::string& day);

    // Creates the folder (mode 0700) when it is missing and its parents pass the walk, then
    // checks it and everything AddWrittenPaths names, and holds it. False with Problems() filled
    // (one line each, with the command that mends it); nothing is created below an unsafe parent.
    bool Take(const std::string& day);
    const std::vector<std::string>& Problems() const { return m_problems; }
    // The held folder (an O_PATH descriptor), -1 before a successful Take.
    int Folder() const { return m_folder.get(); }

    // Makes conf/ and Log/ (0700) and copies each of kSeededFiles that the held folder lacks from
    // installation (a descriptor of the checked installation folder): never through a link,
    // written as 0600 through a temporary file renamed into place. False with why on the first
    // failure; what was seeded before it stays.
    bool Seed(int installation, std::string& why) const;

    // The store's "version": a package upgrade ships a newer conf/conf.xml, and the service must
    // not go on naming the old version to the portal. Takes the shipped store's version (read
    // from installation) into store when it is a decimal number above the stored one (or the
    // stored one is none); every other key stays. True when the version was changed.
    static bool RefreshVersion(int installation, ISvrInfoCenter* store);
    // True when shipped is a decimal number above stored (a stored text that is not a decimal
    // number counts as no version).
    static bool IsNewerVersion(const std::string& shipped, const std::string& stored);

private:
    bool CreateWhenMissing();

    std::string m_path;
    std::vector<std::string> m_problems;
    CUniqueFd m_folder;
};
