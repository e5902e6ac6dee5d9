#include "CProcessTable.h"

#include <dirent.h>

#include <cstring>
#include <fstream>
#include <memory>

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

bool IsProcessEntry(const char* name) {
    if (*name == '\0')
        return false;
    for (const char* p = name; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return false;
    }
    return true;
}

// The command name of one process; false when it ended or cannot be read.
bool ReadComm(const std::string& path, std::string& comm) {
    std::ifstream in(path);
    if (!in || !std::getline(in, comm))
        return false;
    return true;
}

}  // namespace

bool CProcessTable::Matches(const std::string& comm, const std::string& name) {
    return std::strncmp(comm.c_str(), name.c_str(), kCommLength) == 0;
}

int CProcessTable::CountByName(const std::string& name) const {
    const std::string root = m_strProcRoot + "/proc";
    std::unique_ptr<DIR, DirCloser> dir(opendir(root.c_str()));
    if (!dir)
        return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir.get())) {
        if (!IsProcessEntry(entry->d_name))
            continue;
        std::string comm;
        if (ReadComm(root + "/" + entry->d_name + "/comm", comm) && Matches(comm, name))
            ++count;
    }
    return count;
}
