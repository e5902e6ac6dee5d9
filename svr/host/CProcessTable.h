// CProcessTable: counts running programs by command name from the kernel's process table.
//
// A program is selected exactly as "ps -C NAME" selects it: by the command name the kernel keeps
// in /proc/PID/comm, which is cut at 15 bytes, so a longer name matches on its first 15 bytes.
// Only the entries directly under /proc are read: those are processes (thread-group leaders),
// as ps lists them, not their threads. Nothing is started; any thread may use an object.
#pragma once

#include <string>

class CProcessTable {
public:
    // The bytes of a command name the kernel keeps.
    static constexpr size_t kCommLength = 15;

    // procRoot is put before "/proc" ("" for the real table; tests use a fake tree).
    explicit CProcessTable(std::string procRoot = std::string())
        : m_strProcRoot(std::move(procRoot)) {}

    // Number of processes whose command name matches name; -1 when the table cannot be read.
    // Processes that end while the table is read are simply not counted.
    int CountByName(const std::string& name) const;

    // True when comm (as read from a comm file, without its line feed) is selected by name.
    static bool Matches(const std::string& comm, const std::string& name);

private:
    std::string m_strProcRoot;
};
