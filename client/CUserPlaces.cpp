#include "CUserPlaces.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "CUniqueFd.h"

namespace {

std::string AbsoluteFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] == '/' ? std::string(value) : std::string();
}

std::string HomeFolder() {
    std::string home = AbsoluteFromEnvironment("HOME");
    if (!home.empty())
        return home;
    struct passwd entry;
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(geteuid(), &entry, buf.data(), buf.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr)
        home = found->pw_dir;
    return home;
}

// XDG's folder variable, or HOME/fallback.
std::string XdgFolder(const char* variable, const char* fallback) {
    const std::string set = AbsoluteFromEnvironment(variable);
    return set.empty() ? HomeFolder() + "/" + fallback : set;
}

}  // namespace

CUserPlaces CUserPlaces::FromEnvironment() {
    CUserPlaces places;
    places.m_configDir = XdgFolder("XDG_CONFIG_HOME", ".config") + "/orvane";
    places.m_downloadDir = XdgFolder("XDG_CACHE_HOME", ".cache") + "/orvane/Quorra/AutoSetupAuth/";
    places.m_pipeDir = AbsoluteFromEnvironment("ORVANE_RUNTIME_DIR");
    if (places.m_pipeDir.empty())
        places.m_pipeDir = kRuntimeDir;
    return places;
}

bool CUserPlaces::PrepareConfigDir(std::string& why) const {
    if (m_configDir.empty() || m_configDir[0] != '/') {
        why = "no home folder for the store";
        return false;
    }
    for (size_t at = m_configDir.find('/', 1); at != std::string::npos;
         at = m_configDir.find('/', at + 1))
        mkdir(m_configDir.substr(0, at).c_str(), 0700);
    mkdir(m_configDir.c_str(), 0700);
    CUniqueFd fd(open(m_configDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0) {
        why = "cannot open " + m_configDir + ": " + std::strerror(errno);
        return false;
    }
    if (st.st_uid != geteuid()) {
        why = m_configDir + " belongs to user " + std::to_string(st.st_uid);
        return false;
    }
    if ((st.st_mode & 077) != 0 && fchmod(fd.get(), 0700) != 0) {
        why = "cannot make " + m_configDir + " private: " + std::strerror(errno);
        return false;
    }
    return true;
}
