#include "CShellExecutor.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace {

std::mutex g_runnerMutex;
CShellExecutor::Runner g_runner;

CShellExecutor::Runner CurrentRunner() {
    std::lock_guard<std::mutex> lock(g_runnerMutex);
    return g_runner;
}

struct PipeCloser {
    int* status;
    void operator()(FILE* pipe) const { *status = pclose(pipe); }
};

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

    int status = -1;
    {
        std::unique_ptr<FILE, PipeCloser> pipe(popen(command, mode), PipeCloser{&status});
        if (!pipe)
            return 0;
        char* line = nullptr;
        size_t capacity = 0;
        while (getline(&line, &capacity, pipe.get()) > 0)
            emit(line);
        std::free(line);
    }
    return status == -1 ? 0 : 1;
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
