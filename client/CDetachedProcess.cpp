#include "CDetachedProcess.h"

#include "CUniqueFd.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace {

void Report(int report, int error) {
    if (write(report, &error, sizeof error) < 0) {
        // Nothing more to tell: the caller reads the closed pipe as a failure to start.
    }
}

// The grandchild's side: only async-signal-safe calls until exec. A failure's error number goes
// back through report; a successful exec closes it without a word.
[[noreturn]] void ExecProgram(char* const argv[], const char* workDir, mode_t umaskForChild,
                              int report) {
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
    Report(report, errno);
    _exit(127);
}

// The middle process: a session of its own, then the program as its child. It ends at once
// (the caller reaps it), or with parentStays waits for the program first.
[[noreturn]] void ExecDetached(char* const argv[], const char* workDir, mode_t umaskForChild,
                               int report, bool parentStays) {
    setsid();
    const pid_t grandchild = fork();
    if (grandchild == 0)
        ExecProgram(argv, workDir, umaskForChild, report);
    if (grandchild < 0)
        Report(report, errno);
    if (!parentStays || grandchild < 0)
        _exit(grandchild < 0 ? 1 : 0);
    close(report);  // the program's exec alone closes the caller's pipe now
    while (waitpid(grandchild, nullptr, 0) < 0 && errno == EINTR) {
    }
    _exit(0);
}

}  // namespace

int CDetachedProcess::Start(const std::vector<std::string>& argv, const std::string& workDir,
                            mode_t umaskForChild, bool parentStays) {
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
        ExecDetached(vector.data(), workDir.c_str(), umaskForChild, report[1], parentStays);
    writeEnd.Close();
    int status = 0;
    // A middle process that stays is the program's parent until the program ends; whoever
    // reaps orphans reaps it once the caller has gone.
    while (!parentStays && waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t got;
    while ((got = read(readEnd.get(), &error, sizeof error)) < 0 && errno == EINTR) {
    }
    if (got > 0)
        return error != 0 ? error : -1;
    if (parentStays)
        return 0;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}
