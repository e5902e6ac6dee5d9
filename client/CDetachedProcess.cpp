#include "CDetachedProcess.h"

#include "CUniqueFd.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace {

// The grandchild's side: only async-signal-safe calls until exec. A failure's error number goes
// back through report; a successful exec closes it without a word.
[[noreturn]] void ExecDetached(char* const argv[], const char* workDir, mode_t umaskForChild,
                               int report) {
    setsid();
    const pid_t grandchild = fork();
    if (grandchild != 0)
        _exit(grandchild < 0 ? 1 : 0);  // the caller reaps this middle process at once
    if (umaskForChild != CDetachedProcess::kKeepUmask)
        umask(umaskForChild);
    signal(SIGPIPE, SIG_DFL);
    const int in = open("/dev/null", O_RDONLY);
    if (in > 0) {
        dup2(in, 0);
        close(in);
    }
    if (workDir[0] == '\0' || chdir(workDir) == 0)
        execv(argv[0], argv);
    const int error = errno;
    if (write(report, &error, sizeof error) < 0) {
        // Nothing more to tell: the caller reads the closed pipe as a failure to start.
    }
    _exit(127);
}

}  // namespace

int CDetachedProcess::Start(const std::vector<std::string>& argv, const std::string& workDir,
                            mode_t umaskForChild) {
    if (argv.empty())
        return -1;
    // Built before fork: the child must not allocate.
    std::vector<std::string> args(argv);
    std::vector<char*> vector;
    for (std::string& arg : args)
        vector.push_back(arg.data());
    vector.push_back(nullptr);
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return -1;
    CUniqueFd readEnd(report[0]);
    CUniqueFd writeEnd(report[1]);
    const pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0)
        ExecDetached(vector.data(), workDir.c_str(), umaskForChild, report[1]);
    writeEnd.Close();
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t got;
    while ((got = read(readEnd.get(), &error, sizeof error)) < 0 && errno == EINTR) {
    }
    if (got > 0)
        return error != 0 ? error : -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}
