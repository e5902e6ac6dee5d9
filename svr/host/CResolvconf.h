// CResolvconf: the resolvconf program, where the machine has one, fed an interface record of the
// portal's name servers ("resolvconf -a IFACE.orvane", "nameserver X" lines on its standard
// input) and asked to delete it again ("resolvconf -d IFACE.orvane").
//
// The program runs as root, so only a regular executable that is root's and that nobody else may
// write counts; it is started with fork/exec and an argument vector (no shell), with a fixed
// environment, and waited for at most kWait before it is killed.
//
// Holds only the folders it looks in; any thread may use its own object.
#pragma once

#include <chrono>
#include <string>
#include <vector>

class CResolvconf {
public:
    static constexpr std::chrono::milliseconds kWait{5000};
    // The record name's ending: IFACE.orvane.
    static constexpr const char* kRecordSuffix = ".orvane";

    // The folders the program is looked for in, in order.
    static std::vector<std::string> DefaultFolders() { return {"/usr/sbin", "/sbin"}; }
    explicit CResolvconf(std::vector<std::string> folders = DefaultFolders())
        : m_folders(std::move(folders)) {}

    // The program's path, or empty when no folder holds one that may be run as root.
    std::string Program() const;

    // Adds (replacing) the record with one "nameserver" line per address; 0, or a positive error
    // number: EINVAL for a record name that is not plain or an address that is not one, ENOENT
    // without the program, ETIMEDOUT when it did not end in time, EIO when it failed.
    int Add(const std::string& record, const std::vector<std::string>& addresses) const;
    // Deletes the record; results as for Add.
    int Delete(const std::string& record) const;

    // True for a name the kernel could give an interface and that is safe in a record name: 1 to
    // 15 characters of letters, digits, '_', '-' and '.', not starting with '-' or '.'.
    static bool IsPlainInterfaceName(const std::string& name);
    // IsPlainInterfaceName of the part before kRecordSuffix, which it ends in.
    static bool IsRecordName(const std::string& record);

private:
    int Run(const std::vector<std::string>& args, const std::string& input) const;

    std::vector<std::string> m_folders;
};
