#include "CProcessName.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ExeBaseName(pid_t pid) {
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    std::vector<char> buf(PATH_MAX + 1);
    const ssize_t n = readlink(link.c_str(), buf.data(), buf.size() - 1);
    if (n <= 0)
        return std::string();
    std::string target(buf.data(), static_cast<size_t>(n));
    // A program replaced on disk while it runs reads as "path (deleted)".
    const std::string deleted = " (deleted)";
    if (target.size() > deleted.size() &&
        target.compare(target.size() - deleted.size(), deleted.size(), deleted) == 0) {
        target.resize(target.size() - deleted.size());
    }
    return BaseName(target);
}

// The kernel's short name (at most 15 bytes); readable even where the exe link is not.
std::string CommName(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

}  // namespace

CAutoString CProcessName::ProgramName(pid_t pid) {
    return CAutoString(ExeBaseName(pid));
}

bool CProcessName::IsSameProgram(pid_t pid) {
    if (pid <= 0)
        return false;
    if (kill(pid, 0) == -1 && errno == ESRCH)
        return false;
    const std::string mine = ExeBaseName(getpid());
    const std::string theirs = ExeBaseName(pid);
    if (!mine.empty() && !theirs.empty())
        return mine == theirs;
    const std::string theirComm = CommName(pid);
    if (theirComm.empty())
        return true;
    return theirComm == CommName(getpid());
}

pid_t CProcessName::ParsePid(const char* text) {
    if (text == nullptr)
        return 0;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || value <= 0 || value > INT_MAX)
        return 0;
    return static_cast<pid_t>(value);
}
