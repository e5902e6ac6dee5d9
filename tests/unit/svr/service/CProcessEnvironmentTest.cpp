// The service's environment: what steers libraries and the loader goes, the rest stays.
#include "CProcessEnvironment.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Runs Sanitise in a child with extra variables set; returns what the child found, one
// "NAME=value" or "NAME unset" a line, or an error text.
std::string SanitisedInChild(const std::vector<std::pair<const char*, const char*>>& set,
                             const std::vector<const char*>& look) {
    int fds[2];
    if (pipe(fds) != 0)
        return "no pipe";
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        for (const auto& [name, value] : set)
            setenv(name, value, 1);
        CProcessEnvironment::Sanitise();
        std::string seen;
        for (const char* name : look) {
            const char* value = getenv(name);
            seen += std::string(name) + (value ? std::string("=") + value : " unset") + "\n";
        }
        const ssize_t n = write(fds[1], seen.data(), seen.size());
        _exit(n == static_cast<ssize_t>(seen.size()) ? 0 : 1);
    }
    close(fds[1]);
    std::string out;
    char buffer[512];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
        out.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : "child failed";
}

TEST(ProcessEnvironmentTest, LoaderAndLibraryVariablesGoPathIsFixedTheRestStays) {
    const std::string seen =
        SanitisedInChild({{"LD_PRELOAD", "/tmp/evil.so"},
                          {"LD_LIBRARY_PATH", "/tmp"},
                          {"LD_AUDIT", "/tmp/a.so"},
                          {"GCONV_PATH", "/tmp/gconv"},
                          {"LOCPATH", "/tmp/locale"},
                          {"MALLOC_CHECK_", "3"},
                          {"GLIBC_TUNABLES", "glibc.malloc.check=3"},
                          {"https_proxy", "http://10.0.0.1:3128"},
                          {"SSLKEYLOGFILE", "/tmp/keys"},
                          {"PATH", "/tmp/bin:/usr/bin"},
                          {"ORVANE_KEPT", "yes"},
                          {"LANG", "C.UTF-8"},
                          {"ASAN_OPTIONS", "detect_leaks=1"},
                          {"TSAN_OPTIONS", "halt_on_error=1"},
                          {"XLD_PRELOAD", "not a loader variable"}},
                         {"LD_PRELOAD", "LD_LIBRARY_PATH", "LD_AUDIT", "GCONV_PATH", "LOCPATH",
                          "MALLOC_CHECK_", "GLIBC_TUNABLES", "https_proxy", "SSLKEYLOGFILE", "PATH",
                          "ORVANE_KEPT", "LANG", "ASAN_OPTIONS", "TSAN_OPTIONS", "XLD_PRELOAD"});
    EXPECT_EQ(seen,
              "LD_PRELOAD unset\nLD_LIBRARY_PATH unset\nLD_AUDIT unset\nGCONV_PATH unset\n"
              "LOCPATH unset\nMALLOC_CHECK_ unset\nGLIBC_TUNABLES unset\nhttps_proxy unset\n"
              "SSLKEYLOGFILE unset\nPATH=/usr/sbin:/usr/bin:/sbin:/bin\nORVANE_KEPT=yes\n"
              "LANG=C.UTF-8\nASAN_OPTIONS=detect_leaks=1\nTSAN_OPTIONS=halt_on_error=1\n"
              "XLD_PRELOAD=not a loader variable\n");
}

}  // namespace
