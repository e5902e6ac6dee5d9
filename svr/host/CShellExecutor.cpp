#include "CShellExecutor.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

extern char** environ;

namespace {

std::mutex g_runnerMutex;
CShellExecutor::Runner g_runner;

CShellExecutor::Runner CurrentRunner() {
    std::lock_guard<std::mutex> lock(g_runnerMutex);
    return g_runner;
}

// Starts "/bin/sh -c command" with its standard output on the returned stream. The service's
// threads block the stop signals (they are read from a signalfd) and ignore SIGPIPE; popen would
// hand both to the command, which then could not be stopped or would not end on a closed pipe. The
// child starts with an empty signal mask and every disposition at its default.
FILE* StartShell(const char* command, pid_t& pid) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return nullptr;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char sh[] = "sh", dashC[] = "-c";
    char* argv[] = {sh, dashC, const_cast<char*>(command), nullptr};
    const int rc = posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    FILE* out = rc == 0 ? fdopen(fds[0], "r") : nullptr;
    if (out == nullptr) {
        close(fds[0]);
        if (rc == 0)
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
    }
    return out;
}

// Closes the stream and reaps the child; its wait status, or -1.
int FinishShell(FILE* out, pid_t pid) {
    std::fclose(out);
    int status = 0;
    pid_t got;
    while ((got = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    return got == pid ? status : -1;
}

}  // namespace

void CShellExecutor::SetRunner(Runner runner) {
    std::lock_guard<std::mutex> lock(g_runnerMutex);
    g_runner = std::move(runner);
}

void CShellExecutor::SetSystemControlLogger(SYSTEMCONTROLLOG handler, void* context) {
    m_SystemControlLog = handler;
    m_pParam = context;
}

int CShellExecutor::ExecuteShellScript(const char* command, const char* mode) {
    if (!command || !*command || !mode || !*mode)
        return 0;
    auto emit = [this](const char* line) {
        if (m_SystemControlLog)
            m_SystemControlLog(line, m_pParam);
    };
    if (Runner runner = CurrentRunner())
        return runner(command, emit);

    if (std::strcmp(mode, "r") != 0)
        return 0;  // only the command's output is ever read
    pid_t pid = -1;
    FILE* out = StartShell(command, pid);
    if (out == nullptr)
        return 0;
    char* line = nullptr;
    size_t capacity = 0;
    while (getline(&line, &capacity, out) > 0)
        emit(line);
    std::free(line);
    return FinishShell(out, pid) == -1 ? 0 : 1;
}

std::string CShellExecutor::Quote(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}
