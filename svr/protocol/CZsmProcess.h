// CZsmProcess: one running algorithm-module helper, seen from the service.
//
// Start runs the helper program (OrvaneZsm) in a child process that can do no harm as root: the
// child, between the clone and the exec, only makes system calls. It is the first process of new
// process, network, mount, IPC and host-name namespaces (so nothing it starts outlives it, and it
// reaches no network), makes its mounts private and mounts its own /proc. A root service drops it
// to the system user "orvane-zsm", which must exist, must not be root and must be the only account
// with its uid: otherwise no helper is started and Start says why (never a shared uid such as
// nobody's, whose other processes the module could reach). A service that does not run as root
// gives the helper its own uid, inside a user namespace that maps only that uid; where the kernel
// refuses such namespaces, Start refuses too. Either way there are no supplementary groups and no
// ambient capabilities; PR_SET_NO_NEW_PRIVS and a processor-time limit are set, only /dev/null on
// descriptors 0-2 and the socket on descriptor 3 stay open, the working directory is "/", and the
// program is executed with an empty environment through a descriptor opened beforehand, so the
// unprivileged child needs no access to the installation's folders.
//
// Every exchange has a time limit; a helper that misses it, dies, or answers more than the cap is
// killed and reaped, and Running() is false until the next Start. Not thread-safe: the owner
// serialises calls.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "CFrameChannel.h"

class CZsmProcess {
public:
    enum Result { kOk, kNotRunning, kDied, kTimeout, kTooLarge };

    // The system user the helper of a root service runs as.
    static constexpr const char* kUserName = "orvane-zsm";
    // Limits for one request and for start-up (exec, the loader and the module's constructors).
    static constexpr int kCallTimeoutMs = 2000;
    static constexpr int kStartTimeoutMs = 5000;
    // Processor time for a helper's whole life. Coding takes microseconds a request, so only a
    // helper left spinning after its service ended reaches it; a live service restarts it.
    static constexpr unsigned kCpuLimitSec = 120;

    CZsmProcess() = default;
    ~CZsmProcess() { Stop(); }
    CZsmProcess(const CZsmProcess&) = delete;
    CZsmProcess& operator=(const CZsmProcess&) = delete;

    // Starts the program at hostPath and has it load image (a shared object) for key identifier
    // keyid. True when the module is loaded and confined; otherwise false with why set, and no
    // process is left running.
    bool Start(const std::string& hostPath, const std::string& keyid,
               const std::vector<unsigned char>& image, std::string& why);
    // One request and its answer, within timeoutMs. Any result but kOk ends the helper.
    Result Call(const std::string& request, std::string& answer, int timeoutMs = kCallTimeoutMs);
    // Kills and reaps the helper; nothing when none runs.
    void Stop();

    // The system user for the helpers of a root service from the next Start on (kUserName
    // unless a test names another).
    void SetUser(const std::string& name) { m_user = name; }

    bool Running() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }
    // How the last helper ended ("exit status 1", "signal 9"), for log lines.
    const std::string& LastEnd() const { return m_lastEnd; }

private:
    bool spawn(int exeFd, std::string& why);

    pid_t m_pid = -1;
    std::string m_user = kUserName;
    std::unique_ptr<CFrameChannel> m_channel;
    std::string m_lastEnd;
};
