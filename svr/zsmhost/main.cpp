// OrvaneZsm: the algorithm-module helper. Started by OrvaneSvr (CZsmProcess) with its socket at
// descriptor 3; not meant to be run by hand.
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "CFrameChannel.h"
#include "CZsmHost.h"
#include "ZsmProtocol.h"

int main() {
    // The module never runs with root's identity, whoever started this program.
    uid_t ruid, euid, suid;
    if (getresuid(&ruid, &euid, &suid) != 0 || ruid == 0 || euid == 0 || suid == 0)
        return 2;
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    CFrameChannel channel(ZsmProtocol::kHostSocketFd, ZsmProtocol::kMaxRequest);
    CZsmHost host(channel);
    const int status = host.Run();
    // Straight to the kernel: exit handlers and sanitizer hooks would make calls the filter
    // refuses.
    syscall(SYS_exit_group, status);
    return status;
}
