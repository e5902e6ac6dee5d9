// CProcessLauncher: starts and waits for the installer's helper processes (tar, the new client)
// with fork/exec and argv arrays; nothing goes through a shell.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class CProcessLauncher {
public:
    // Starts argv[0] (a path) with argv in dir, standard input from /dev/null, in a session of
    // its own when newSession is set. Returns the child's pid, or -1 when the fork or the exec
    // failed (a close-on-exec pipe reports exec errors).
    static pid_t Start(const std::vector<std::string>& argv, const std::string& dir,
                       bool newSession);
    // Runs argv to its end; its exit status, or -1 when it could not run or died by a signal.
    static int Run(const std::vector<std::string>& argv, const std::string& dir);
    // Waits up to timeoutMs for our child pid to end. True with its wait status when it did.
    static bool WaitChild(pid_t pid, int timeoutMs, int& status);
    // Waits up to timeoutMs for any process pid to end; true when it is gone.
    static bool WaitGone(pid_t pid, int timeoutMs);
};
