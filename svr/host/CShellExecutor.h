// CShellExecutor: runs one shell command and hands each line of its output to a handler.
//
// The command text goes to the shell as it is: callers build it only from constant text and
// values they checked against a strict pattern or quoted with Quote. Runs synchronously on the
// calling thread; one object is used by one thread at a time.
#pragma once

#include <functional>
#include <string>

// A line handler: one output line (with its line feed when it had one) and the context given
// with the handler.
typedef void (*SYSTEMCONTROLLOG)(const char* line, void* context);

class CShellExecutor {
public:
    // A stand-in for the shell, for tests: it receives each command instead of the shell, feeds
    // the output it wants seen to emit, and returns what ExecuteShellScript should return.
    using Runner =
        std::function<int(const char* command, const std::function<void(const char*)>& emit)>;
    // Installs the stand-in for every executor of the process; an empty one restores the shell.
    static void SetRunner(Runner runner);

    CShellExecutor() = default;
    virtual ~CShellExecutor() = default;

    void SetSystemControlLogger(SYSTEMCONTROLLOG handler, void* context);
    SYSTEMCONTROLLOG GetLogRoutine() const { return m_SystemControlLog; }

    // Runs command through the shell ("/bin/sh -c"; mode must be "r": the output is read) and
    // passes every output line, however long, to the handler when one is installed. The command
    // starts with no blocked signals and default dispositions, whatever the calling thread has.
    // Returns 1 when the command started and was reaped, 0 otherwise or when an argument is
    // null/empty or the mode is not "r".
    int ExecuteShellScript(const char* command, const char* mode);

    // word as one single-quoted shell word, whatever characters it holds.
    static std::string Quote(const std::string& word);

private:
    SYSTEMCONTROLLOG m_SystemControlLog = nullptr;
    void* m_pParam = nullptr;
};
