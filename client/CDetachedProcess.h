// CDetachedProcess: starts a program the client does not wait for (the service, the installer),
// without a shell: fork, a new session, a second fork so the program is not the client's child,
// then exec with the given argument vector. Standard input comes from /dev/null and SIGPIPE is at
// its default in the program. Called from any one thread; only async-signal-safe calls run between
// fork and exec.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class CDetachedProcess {
public:
    // Leave the program the client's umask.
    static constexpr mode_t kKeepUmask = static_cast<mode_t>(~0u);

    // Starts argv[0] with argv (at least one entry), in workDir unless it is empty, with the umask
    // umaskForChild unless kKeepUmask. Returns 0 once exec succeeded; the error number of a failed
    // chdir or exec; -1 when no process could be made (argv empty, pipe or fork failure).
    //
    // parentStays: the middle process does not end at once but waits for the program and then
    // ends (the caller does not wait for it). pkexec needs that: it asks the authority about its
    // parent process (which must be alive, in the user's session), and refuses an orphan.
    static int Start(const std::vector<std::string>& argv, const std::string& workDir,
                     mode_t umaskForChild, bool parentStays = false);
};
