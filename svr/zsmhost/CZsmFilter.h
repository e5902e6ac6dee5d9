// CZsmFilter: the seccomp filters that confine the algorithm-module helper. The module's own code
// (its constructors included) never runs without one of them in force.
//
// kLoading, in force from before dlopen until the module is in:
//   everything kServing allows, and
//   openat open     read-only (no O_CREAT, O_TRUNC, writing access): the loader opens the memory
//                   file through /proc/self/fd and looks for libraries the module names
//   read pread64 newfstatat fstat close
//                   the loader reading ELF headers and closing what it opened
//   seccomp         installing kServing after the load (adding a filter can only narrow)
// kServing, in force while requests are computed:
//   read            on the socket (descriptor 3) only: requests
//   write           on the socket, and on 1 and 2 (/dev/null, or standard error in sanitizer
//                   builds): answers; a module's stray diagnostics go nowhere instead of ending it
//   mmap            private mappings only: a shared page is how a module would hand texts on
//   brk munmap mremap madvise mprotect
//                   memory management of glibc's malloc and of the module's own allocations
//   futex           glibc's and libstdc++'s locks
//   getrandom       glibc's malloc seeds its caches with it
//   clock_gettime clock_getres gettimeofday time
//                   clocks, for modules that stamp their texts (usually answered by the vDSO)
//   getuid geteuid getgid getegid
//                   reading the identity changes nothing, and libraries ask for it while loading
//   rt_sigreturn exit exit_group
//                   returning from a signal and ending
// Everything else ends the process (SIGSYS), which the service sees as a crashed module: no
// process, socket, signal, identity or tracing call is ever possible, and no file can be written.
// Calls of another architecture's ABI are refused the same way. Builds with a sanitizer refuse
// unlisted calls with EPERM instead, since their runtimes make calls of their own at odd moments.
#pragma once

#include <memory>

class CZsmFilter {
public:
    enum Stage { kLoading, kServing };

    // Builds the filter; nothing is in force until Load. Built ahead so that loading a filter
    // needs no more than the seccomp call itself.
    CZsmFilter(Stage stage, int socketFd);
    CZsmFilter(const CZsmFilter&) = delete;
    CZsmFilter& operator=(const CZsmFilter&) = delete;

    // Puts the filter in force on the calling process (PR_SET_NO_NEW_PRIVS must be set). False
    // when it could not be built or loaded; the caller must not go on to load or serve then.
    bool Load();

private:
    struct Deleter {
        void operator()(void* ctx) const;
    };
    bool build(Stage stage, int socketFd);

    std::unique_ptr<void, Deleter> m_ctx;
    bool m_built = false;
};
