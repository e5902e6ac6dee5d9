// CUserPlaces: where a window run by a desktop user (not root) keeps its files and finds the
// service. Such a window never writes into the installation, which belongs to root:
//   store      $XDG_CONFIG_HOME/orvane/client.xml   (default ~/.config/orvane/, folder 0700)
//   downloads  $XDG_CACHE_HOME/orvane/Quorra/AutoSetupAuth/   (default ~/.cache/orvane/...)
//   pipes      $ORVANE_RUNTIME_DIR, else /run/orvane (the service unit's runtime folder)
// A client run by root keeps everything in the installation, as always.
//
// Read from the environment once by FromEnvironment (before any thread); then plain values.
#pragma once

#include <string>

class CUserPlaces {
public:
    static constexpr const char* kRuntimeDir = "/run/orvane";
    static constexpr const char* kStoreName = "client.xml";

    // The places for this process's user, from XDG_CONFIG_HOME, XDG_CACHE_HOME, HOME (else the
    // password database) and ORVANE_RUNTIME_DIR. Values that are not absolute paths are ignored,
    // as the XDG rules say.
    static CUserPlaces FromEnvironment();

    // Folders without a trailing slash, except DownloadDir, which ends with "/".
    const std::string& ConfigDir() const { return m_configDir; }
    const std::string& DownloadDir() const { return m_downloadDir; }
    const std::string& PipeDir() const { return m_pipeDir; }
    std::string StoreFile() const { return m_configDir + "/" + kStoreName; }

    // Makes ConfigDir (and missing parents) with mode 0700, and makes sure the folder is this
    // user's and nobody else may write it: the store keeps the password. False, with why.
    bool PrepareConfigDir(std::string& why) const;

private:
    std::string m_configDir;
    std::string m_downloadDir;
    std::string m_pipeDir;
};
