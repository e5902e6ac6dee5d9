#include "CZsmFilter.h"

#include <seccomp.h>

#include <cerrno>
#include <initializer_list>
#include <memory>

#include "ZsmProtocol.h"

namespace {

struct FilterDeleter {
    void operator()(void* ctx) const { seccomp_release(ctx); }
};

// Calls allowed whatever their arguments.
const int kPlainCalls[] = {
    SCMP_SYS(brk),           SCMP_SYS(mmap),         SCMP_SYS(munmap),       SCMP_SYS(mremap),
    SCMP_SYS(madvise),       SCMP_SYS(mprotect),     SCMP_SYS(futex),        SCMP_SYS(getrandom),
    SCMP_SYS(clock_gettime), SCMP_SYS(clock_getres), SCMP_SYS(gettimeofday), SCMP_SYS(time),
    SCMP_SYS(rt_sigreturn),  SCMP_SYS(exit),         SCMP_SYS(exit_group),
};

}  // namespace

bool CZsmFilter::Install(int socketFd) {
    const uint32_t refuse =
        ZsmProtocol::kSanitizerRuntime ? SCMP_ACT_ERRNO(EPERM) : SCMP_ACT_KILL_PROCESS;
    std::unique_ptr<void, FilterDeleter> ctx(seccomp_init(refuse));
    if (!ctx)
        return false;
    for (int call : kPlainCalls) {
        // A call this architecture does not have is a negative pseudo number: nothing to allow.
        if (call >= 0 && seccomp_rule_add(ctx.get(), SCMP_ACT_ALLOW, call, 0) != 0)
            return false;
    }
    const auto fdIs = [](int fd) { return SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(fd)); };
    if (seccomp_rule_add(ctx.get(), SCMP_ACT_ALLOW, SCMP_SYS(read), 1, fdIs(socketFd)) != 0)
        return false;
    for (int fd : {1, 2, socketFd}) {
        if (seccomp_rule_add(ctx.get(), SCMP_ACT_ALLOW, SCMP_SYS(write), 1, fdIs(fd)) != 0)
            return false;
    }
    return seccomp_load(ctx.get()) == 0;
}
