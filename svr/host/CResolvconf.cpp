#include "CResolvconf.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <ctime>

#include "CLog.h"
#include "CSimpleFile.h"
#include "CUniqueFd.h"

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif
#ifndef SYS_close_range
#define SYS_close_range 436
#endif

namespace {

bool IsAddress(const std::string& text) {
    unsigned char bytes[16];
    return inet_pton(AF_INET, text.c_str(), bytes) == 1 ||
           inet_pton(AF_INET6, text.c_str(), bytes) == 1;
}

// Ends the child once the time is up, then reaps it; its wait status, or -1 when it was killed
// or could not be waited for.
int WaitBounded(pid_t pid, std::chrono::milliseconds limit) {
    CUniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    bool ended = false;
    if (pidfd.get() >= 0) {
        pollfd p{pidfd.get(), POLLIN, 0};
        int r;
        while ((r = poll(&p, 1, static_cast<int>(limit.count()))) < 0 && errno == EINTR) {
        }
        ended = r > 0;
    } else {
        // Kernels before 5.3: look again every 20 ms until the limit.
        for (long waited = 0; waited < limit.count(); waited += 20) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid)
                return status;
            const timespec pause{0, 20 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
    }
    if (!ended)
        kill(pid, SIGKILL);
    int status = 0;
    pid_t r;
    while ((r = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    return ended && r == pid ? status : -1;
}

}  // namespace

bool CResolvconf::IsPlainInterfaceName(const std::string& name) {
    if (name.empty() || name.size() > 15 || name[0] == '-' || name[0] == '.')
        return false;
    for (unsigned char c : name) {
        if (!std::isalnum(c) && c != '_' && c != '-' && c != '.')
            return false;
    }
    return true;
}

bool CResolvconf::IsRecordName(const std::string& record) {
    const std::string suffix = kRecordSuffix;
    return record.size() > suffix.size() &&
           record.compare(record.size() - suffix.size(), suffix.size(), suffix) == 0 &&
           IsPlainInterfaceName(record.substr(0, record.size() - suffix.size()));
}

std::string CResolvconf::Program() const {
    for (const std::string& folder : m_folders) {
        const std::string path = folder + "/resolvconf";
        struct stat st;
        // The link that merged-/usr systems make of /sbin is followed; the program itself is
        // judged by what it is.
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
            (st.st_mode & 022) == 0 && (st.st_mode & 0100) != 0)
            return path;
    }
    return "";
}

int CResolvconf::Add(const std::string& record, const std::vector<std::string>& addresses) const {
    if (!IsRecordName(record) || addresses.empty())
        return EINVAL;
    std::string input;
    for (const std::string& address : addresses) {
        if (!IsAddress(address))
            return EINVAL;
        input += "nameserver " + address + "\n";
    }
    return Run({"-a", record}, input);
}

int CResolvconf::Delete(const std::string& record) const {
    return IsRecordName(record) ? Run({"-d", record}, "") : EINVAL;
}

int CResolvconf::Run(const std::vector<std::string>& args, const std::string& input) const {
    std::string program = Program();
    if (program.empty())
        return ENOENT;
    std::vector<std::string> words = args;
    words.insert(words.begin(), program);
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char* envp[] = {path, nullptr};
    int fds[2];
    CUniqueFd quiet(open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (quiet.get() < 0 || pipe2(fds, O_CLOEXEC) != 0)
        return errno;
    CUniqueFd readEnd(fds[0]);
    CUniqueFd writeEnd(fds[1]);
    const pid_t pid = fork();
    if (pid < 0)
        return errno;
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        if (dup2(readEnd.get(), 0) < 0 || dup2(quiet.get(), 1) < 0 || dup2(quiet.get(), 2) < 0)
            _exit(126);
        syscall(SYS_close_range, 3U, ~0U, 0U);
        execve(argv[0], argv.data(), envp);
        _exit(127);
    }
    readEnd.Close();
    // Two short lines fit the pipe's buffer, so this write never waits for the child.
    const bool fed = CSimpleFile::WriteAll(writeEnd.get(), input.data(), input.size());
    writeEnd.Close();
    const int status = WaitBounded(pid, kWait);
    if (status < 0)
        return ETIMEDOUT;
    return fed && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : EIO;
}
