#include "CZsmFilter.h"

#include <fcntl.h>
#include <linux/seccomp.h>
#include <seccomp.h>
#include <sys/mman.h>

#include <cerrno>
#include <initializer_list>

#include "ZsmProtocol.h"

namespace {

// Calls allowed whatever their arguments, in both stages.
const int kPlainCalls[] = {
    SCMP_SYS(brk),          SCMP_SYS(munmap),       SCMP_SYS(mremap),    SCMP_SYS(madvise),
    SCMP_SYS(mprotect),     SCMP_SYS(futex),        SCMP_SYS(getrandom), SCMP_SYS(clock_gettime),
    SCMP_SYS(clock_getres), SCMP_SYS(gettimeofday), SCMP_SYS(time),      SCMP_SYS(rt_sigreturn),
    SCMP_SYS(exit),         SCMP_SYS(exit_group),   SCMP_SYS(getuid),    SCMP_SYS(geteuid),
    SCMP_SYS(getgid),       SCMP_SYS(getegid),
};

// What the loader needs on top while it maps the module and whatever the module names: it reads
// the ELF headers (read, and pread64 for headers beyond its first read), asks the size (newfstatat,
// or fstat in older C libraries) and closes what it opened.
const int kLoaderCalls[] = {
    SCMP_SYS(read), SCMP_SYS(pread64), SCMP_SYS(newfstatat), SCMP_SYS(fstat), SCMP_SYS(close),
};

// Open flags that would create, truncate or write: none of them may be set.
constexpr scmp_datum_t kWritingOpenFlags = O_ACCMODE | O_CREAT | O_TRUNC;

bool allowAll(scmp_filter_ctx ctx, const int* calls, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        // A call this architecture does not have is a negative pseudo number: nothing to allow.
        if (calls[i] >= 0 && seccomp_rule_add(ctx, SCMP_ACT_ALLOW, calls[i], 0) != 0)
            return false;
    }
    return true;
}

bool allowReadOnlyOpens(scmp_filter_ctx ctx) {
    const int openCall = SCMP_SYS(open);
    if (openCall >= 0 && seccomp_rule_add(ctx, SCMP_ACT_ALLOW, openCall, 1,
                                          SCMP_A1(SCMP_CMP_MASKED_EQ, kWritingOpenFlags, 0)) != 0)
        return false;
    return seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(openat), 1,
                            SCMP_A2(SCMP_CMP_MASKED_EQ, kWritingOpenFlags, 0)) == 0 &&
           seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(seccomp), 1,
                            SCMP_A0(SCMP_CMP_EQ, SECCOMP_SET_MODE_FILTER)) == 0;
}

bool allowChannel(scmp_filter_ctx ctx, int socketFd) {
    const auto fdIs = [](int fd) { return SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(fd)); };
    if (seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(read), 1, fdIs(socketFd)) != 0)
        return false;
    for (int fd : {1, 2, socketFd}) {
        if (seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(write), 1, fdIs(fd)) != 0)
            return false;
    }
    // MAP_SHARED and MAP_SHARED_VALIDATE both set the low bit; private mappings never do.
    const scmp_datum_t sharing = MAP_SHARED | MAP_PRIVATE;
    return seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(mmap), 1,
                            SCMP_A3(SCMP_CMP_MASKED_EQ, sharing, MAP_PRIVATE)) == 0;
}

}  // namespace

void CZsmFilter::Deleter::operator()(void* ctx) const {
    seccomp_release(ctx);
}

CZsmFilter::CZsmFilter(Stage stage, int socketFd) {
    const uint32_t refuse =
        ZsmProtocol::kSanitizerRuntime ? SCMP_ACT_ERRNO(EPERM) : SCMP_ACT_KILL_PROCESS;
    m_ctx.reset(seccomp_init(refuse));
    m_built = m_ctx && build(stage, socketFd);
}

bool CZsmFilter::build(Stage stage, int socketFd) {
    scmp_filter_ctx ctx = m_ctx.get();
    // PR_SET_NO_NEW_PRIVS is set before exec: loading needs no prctl call.
    if (seccomp_attr_set(ctx, SCMP_FLTATR_CTL_NNP, 0) != 0 ||
        !allowAll(ctx, kPlainCalls, sizeof(kPlainCalls) / sizeof(kPlainCalls[0])) ||
        !allowChannel(ctx, socketFd))
        return false;
    if (stage == kServing)
        return true;
    // read is in the list again without the socket condition: libseccomp merges the two.
    return allowAll(ctx, kLoaderCalls, sizeof(kLoaderCalls) / sizeof(kLoaderCalls[0])) &&
           allowReadOnlyOpens(ctx);
}

bool CZsmFilter::Load() {
    return m_built && seccomp_load(m_ctx.get()) == 0;
}
