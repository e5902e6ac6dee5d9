// CZsmFilter: the seccomp filter that confines the algorithm-module helper after loading.
//
// Allow-list, and why each entry is there:
//   read            on the socket (descriptor 3) only: requests
//   write           on the socket, and on 1 and 2 (/dev/null, or standard error in sanitizer
//                   builds): answers; a module's stray diagnostics go nowhere instead of ending it
//   brk mmap munmap mremap madvise mprotect
//                   memory management of glibc's malloc and of the module's own allocations
//   futex           glibc's and libstdc++'s locks
//   getrandom       glibc's malloc seeds its caches with it
//   clock_gettime clock_getres gettimeofday time
//                   clocks, for modules that stamp their texts (usually answered by the vDSO)
//   rt_sigreturn exit exit_group
//                   returning from a signal and ending
// Everything else ends the process (SIGSYS), which the service sees as a crashed module: no file,
// no socket, no process or identity call is possible once a request is being computed. Calls of
// another architecture's ABI are refused the same way. Builds with a sanitizer refuse unlisted
// calls with EPERM instead, since their runtimes make calls of their own at odd moments.
#pragma once

class CZsmFilter {
public:
    // Installs the filter on the calling process (PR_SET_NO_NEW_PRIVS must be set). False when
    // it could not be built or loaded; the caller must not go on to serve then.
    static bool Install(int socketFd);
};
