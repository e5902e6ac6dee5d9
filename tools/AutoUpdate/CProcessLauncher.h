// CProcessLauncher: starts and waits for the installer's helper processes (tar, the new client)
// with fork/exec and argv arrays; nothing goes through a shell.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class CProcessLauncher {
public:
    // How a child starts. The descriptors are the caller's and stay open in it.
    struct Options {
        std::string dir;      // working directory, when dirFd is -1
        int dirFd = -1;       // working directory as a held folder (fchdir)
        int programDir = -1;  // when set, argv[0] is a name in this folder, executed through it
                              // (execveat) without following a link; else argv[0] is a path
        int input = -1;       // standard input; /dev/null when -1
        bool newSession = false;
        bool asUser = false;  // drop to uid, gid and groups before the exec
        uid_t uid = 0;
        gid_t gid = 0;
        std::vector<gid_t> groups;
        bool ownEnvironment = false;  // environment is the child's whole environment
        std::vector<std::string> environment;
    };

    // Starts argv with options. Returns the child's pid, or -1 when the fork, the change of
    // folder or user, or the exec failed (a close-on-exec pipe reports exec errors).
    static pid_t Start(const std::vector<std::string>& argv, const Options& options);
    // Starts argv[0] (a path) with argv in dir, standard input from /dev/null, in a session of
    // its own when newSession is set.
    static pid_t Start(const std::vector<std::string>& argv, const std::string& dir,
                       bool newSession);
    // Runs argv to its end; its exit status, or -1 when it could not run or died by a signal.
    static int Run(const std::vector<std::string>& argv, const std::string& dir);
    static int Run(const std::vector<std::string>& argv, const Options& options);
    // Waits up to timeoutMs for our child pid to end. True with its wait status when it did.
    static bool WaitChild(pid_t pid, int timeoutMs, int& status);
    // Waits up to timeoutMs for any process pid to end; true when it is gone.
    static bool WaitGone(pid_t pid, int timeoutMs);
};
